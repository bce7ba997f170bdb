#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "fan_error.hpp"
#include "manual_record_file.hpp"
#include "session_files.hpp"

// Makes the session directory, named in the record before it exists so that no kill leaves it
// behind unnamed. The record goes on listing what the recovery of a dead helper could not yet
// confirm automatic (`recovered`, when there was a recovery): that is still manual, and only a
// confirmed restore may drop it. A directory that cannot be made is not this session's, so the
// record stops naming it: a successor must not remove it on the record's word.
template <typename Controller>
FanResult<void> claim_session_directory(ManualRecordFile& record, const Controller* recovered,
                                        const std::string& directory, bool daemon_mode) {
    const std::set<std::int64_t> held_fans = recovered ? recovered->controlled : std::set<std::int64_t>();
    const bool held_ftst = recovered && recovered->ftst_engaged;
    record.claim(directory, held_fans, held_ftst);
    if (auto made = create_session_directory(directory, daemon_mode); !made) {
        record.claim("", held_fans, held_ftst);
        return made;
    }
    return {};
}
