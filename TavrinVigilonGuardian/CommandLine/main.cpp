#include "CommandLine/command_line.hpp"

int main(int argc, char** argv) { return guardianMain(argc, argv); }
