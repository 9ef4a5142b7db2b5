// app/main.cpp - entry of kestil_solver (the command line comes with its own module)
#include <stdio.h>

#include "framework/alloc.h"

int main(int, char**) {
    kestil_install_new_handler();
    fputs("kestil_solver: the command line is not built yet\n", stderr);
    return 2;
}
