#pragma once

#include <string_view>

// The guardian's lines for people: standard output says what happened, standard error what went
// wrong. Under launchd the daemon's own streams lead nowhere, so on the Mac every line also goes
// to the unified log, subsystem "app.tavrin.vigilon.guardian", the standard-error lines as errors.
enum class OutputStream { standardOutput, standardError };

// Writes `first`, `rest` and a line feed as one whole line, even while other threads write, and
// flushes it. Two parts, so that a prefix needs no buffer: this also reports failures, and
// builds nothing on the heap that could make it fail in turn.
void writeOutputLine(OutputStream stream, std::string_view first, std::string_view rest = {}) noexcept;

// The platform's part: the same line to the system's log, for a line already written to its
// stream. Nothing on Linux, where the streams themselves are kept.
void mirrorToSystemLog(OutputStream stream, std::string_view first, std::string_view rest = {}) noexcept;
