#pragma once

#include <string>

#include "control/snapshot.hpp"

// Appends the JSON object of one fan or of a whole snapshot: no whitespace, members in their
// fixed order, absent optional members left out.
void append_fan_json(std::string& out, const Fan& fan);
void append_snapshot_json(std::string& out, const Snapshot& snapshot);
