#include "Engine/output_line.hpp"

#include <cstdio>

void writeOutputLine(OutputStream stream, std::string_view first, std::string_view rest) noexcept {
    FILE* const file = stream == OutputStream::standardError ? stderr : stdout;
    ::flockfile(file);
    // An empty part may have no buffer at all, and fwrite's must not be null.
    if (!first.empty()) std::fwrite(first.data(), 1, first.size(), file);
    if (!rest.empty()) std::fwrite(rest.data(), 1, rest.size(), file);
    std::fputc('\n', file);
    ::funlockfile(file);
    std::fflush(file);
    mirrorToSystemLog(stream, first, rest);
}
