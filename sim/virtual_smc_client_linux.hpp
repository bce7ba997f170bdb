#pragma once

#include <string>
#include <vector>

namespace vsmc {

// `virtual-smc ctl WORDS...`: sends one control command, prints the answer; exit status.
int run_ctl_client(const std::string& control_path, const std::vector<std::string>& words);

// `virtual-smc probe info|read|write KEY [HEX]`: one raw record exchange, printed; exit status.
int run_probe(const std::string& device_path, const std::vector<std::string>& words);

}  // namespace vsmc
