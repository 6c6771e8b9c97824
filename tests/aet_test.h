// Shared helpers for the converter tests: run the built aetconv on a trace.
#pragma once

#include "run.h"
#include "trace_builder.h"

#include <sstream>
#include <string>

namespace aet {

inline const std::string aetconv_bin = AETCONV_PATH;
#ifdef AETFST_PATH
inline const std::string aetfst_bin = AETFST_PATH;
#else
inline const std::string aetfst_bin; // not built: its tests skip, or fail in CI
#endif

inline RunResult convert_bytes(const std::string &bytes) {
    TempDir dir;
    return run({aetconv_bin, dir.write("t.aet", bytes)});
}
inline RunResult convert(const Trace &t) {
    return convert_bytes(t.bytes());
}
inline RunResult convert_piped(const std::string &bytes) {
    RunOptions o;
    o.input = bytes;
    return run({aetconv_bin, "/dev/stdin"}, o);
}

// The $version and $timescale blocks of a trace from the builder.
inline std::string header_text(const Trace &t) {
    std::ostringstream s;
    s << "$version\n\tAET created at " << t.created_at << " on " << t.created_on << ".\n";
    if (t.format == 0xC0)
        s << "\tModel " << t.model << " created at " << t.model_at << " on " << t.model_on << ".\n";
    s << '\t' << t.numfacs.value_or(static_cast<int32_t>(t.facilities.size()))
      << " facilities found occupying " << t.facbytes.value_or(static_cast<int32_t>(t.names.size()))
      << " bytes.\n$end\n\n$timescale\n\t1ns\n$end\n\n";
    return s.str();
}

inline const std::string enddefs = "$enddefinitions $end\n\n";

} // namespace aet
