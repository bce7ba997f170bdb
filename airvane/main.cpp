#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "process_start.hpp"
#include "program.hpp"

int main(int argc, char** argv) {
    prepare_process();
    // An empty argument vector, which older kernels still pass on, is an empty command line.
    const auto args = argc > 0 ? std::vector<std::string_view>(argv + 1, argv + argc) : std::vector<std::string_view>();
    if (auto result = run(args); !result) {
        // One write, so the line cannot interleave with anything else on the stream.
        const std::string line = "Tavrin: " + result.error().message + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        return 1;
    }
    return 0;
}
