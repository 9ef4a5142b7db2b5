// fuzz/uni_url_fuzz.cpp - the URL parser of the uniform I/O handles, without connecting
// The parser is file-local in uni_io.cpp, so this target compiles that file into itself (and
// therefore links the framework's core library only, not fw_io).
// Input: 2 bytes default port (little-endian), 1 byte default kind (low 2 bits: 0 to 3), then
// the URL and, after a NUL, the scheme given to kestil_uni_is_url.
// Checks: an accepted URL is exactly "scheme://host" or "scheme://host:digits" with a valid
// scheme, a host of 1 to 127 allowed characters and a port of 1 to 65535; the kind follows
// the scheme; kestil_uni_is_url agrees with a plain prefix test.
#include "framework/io/uni_io.cpp"  // NOLINT: the file-local parse_url is the target

#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"

namespace {

void check_accepted(const std::string& url, int32_t default_port, int32_t default_kind,
                    const UrlTarget& target) {
    size_t separator = url.find("://");
    fuzz::check(separator != std::string::npos && separator > 0, "scheme present");
    std::string scheme = url.substr(0, separator);
    std::string host(target.host);
    fuzz::check(!host.empty() && host.size() <= max_url_host, "host length");
    for (char c : host) fuzz::check(valid_host_character(static_cast<unsigned char>(c)), "host characters");
    std::string rest = url.substr(separator + 3);
    fuzz::check(rest.compare(0, host.size(), host) == 0, "host copied from the URL");
    rest.erase(0, host.size());
    if (rest.empty()) {
        fuzz::check(target.port == default_port, "default port");
    } else {
        fuzz::check(rest[0] == ':' && rest.size() >= 2, "port separator");
        long port = 0;
        for (size_t i = 1; i < rest.size(); ++i) {
            fuzz::check(rest[i] >= '0' && rest[i] <= '9', "port digits");
            port = port * 10 + (rest[i] - '0');
            fuzz::check(port <= 65535, "port in range");
        }
        fuzz::check(target.port == port, "port read");
    }
    fuzz::check(target.port >= 1 && target.port <= 65535, "port range");
    int32_t kind = scheme == "tcp" ? KESTIL_UNI_TCP : scheme == "udp" ? KESTIL_UNI_UDP : default_kind;
    fuzz::check(target.kind == kind - 1, "kind follows the scheme");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (fuzz::silence_log(), true);
    (void)ready;
    if (size < 3) return 0;
    const int32_t default_port = data[0] | (data[1] << 8);
    const int32_t default_kind = data[2] & 3;
    std::vector<std::string> pieces = fuzz::split_at_nul(data + 3, size - 3);
    const std::string url = pieces.empty() ? std::string() : pieces[0];
    const std::string scheme = pieces.size() > 1 ? pieces[1] : std::string();

    UrlTarget target{};
    if (parse_url(url.c_str(), default_port, default_kind, &target))
        check_accepted(url, default_port, default_kind, target);

    bool is_url = kestil_uni_is_url(url.c_str(), pieces.size() > 1 ? scheme.c_str() : nullptr);
    bool expected = url.starts_with("tcp://") || url.starts_with("udp://") ||
                    (!scheme.empty() && url.starts_with(scheme + "://"));
    fuzz::check(is_url == expected, "kestil_uni_is_url is a prefix test");
    return 0;
}
