# The fuzz targets: for each name, the source fuzz/<name>_fuzz.cpp and the libraries it needs.
# Read by fuzz/CMakeLists.txt (libFuzzer builds) and tests/fuzz/CMakeLists.txt (corpus replays).
set(KESTIL_FUZZ_TARGETS
  parse_arguments
  utf8_sanitize
  escape_text
  sexagesimal
  acl_tokens
  uni_url
  property_hints
  load_image
  fits_header
  fits_extension
  fits_hints
  index_solve
  tycho2_records
  gaia_table)

set(KESTIL_FUZZ_LIBS_parse_arguments app_lib)
set(KESTIL_FUZZ_LIBS_utf8_sanitize app_lib)
set(KESTIL_FUZZ_LIBS_escape_text app_lib)
set(KESTIL_FUZZ_LIBS_sexagesimal fw_core)
set(KESTIL_FUZZ_LIBS_acl_tokens fw_io)
set(KESTIL_FUZZ_LIBS_uni_url fw_core Threads::Threads)  # compiles uni_io.cpp itself
set(KESTIL_FUZZ_LIBS_property_hints fw_bus)
set(KESTIL_FUZZ_LIBS_load_image solver_image JPEG::JPEG)
set(KESTIL_FUZZ_LIBS_fits_header solver_image)
set(KESTIL_FUZZ_LIBS_fits_extension solver_image)
set(KESTIL_FUZZ_LIBS_fits_hints solver_image)
set(KESTIL_FUZZ_LIBS_index_solve kestil_solver_core kestil_framework)
set(KESTIL_FUZZ_LIBS_tycho2_records tool_catalog)
set(KESTIL_FUZZ_LIBS_gaia_table tool_catalog)
