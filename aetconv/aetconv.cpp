// aetconv: converts a Texsim AET trace into VCD text on standard output.
#include "aet.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::string status_message(const Status &s, const char *path) {
    char line[512];
    switch (s.fault) {
    case Fault::none:
        return {};
    case Fault::not_aet:
        return "Not a Texsim format AET, exiting.\n";
    case Fault::truncated:
        std::snprintf(line, sizeof line, "Trace truncated at offset %" PRIu64 ", exiting.\n",
                      s.offset);
        break;
    case Fault::bad_facbytes:
        std::snprintf(line, sizeof line, "Negative name table size %d, exiting.\n", s.value);
        break;
    case Fault::unknown_tag:
        std::snprintf(line, sizeof line, "[%02x] Unknown tag, exiting.\n", s.value);
        break;
    case Fault::cut_record:
        std::snprintf(line, sizeof line,
                      "Trace truncated inside the record at offset %" PRIu64 ", exiting.\n",
                      s.offset);
        break;
    case Fault::read_error:
        std::snprintf(line, sizeof line, "Could not read '%s': %s, exiting.\n", path,
                      std::strerror(s.err));
        break;
    case Fault::write_error:
        std::snprintf(line, sizeof line, "Could not write the VCD: %s, exiting.\n",
                      std::strerror(s.err));
        break;
    }
    return line;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage:\n------\n%s filename\n\nVCD is then output to stdout.\n",
                     argc > 0 ? argv[0] : "aetconv");
        return 1;
    }
    int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "Could not open '%s', exiting.\n", argv[1]);
        return 1;
    }
    AetState st;
    in_open_fd(st.handle, fd);
    out_open(st.out, STDOUT_FILENO);
    Status s = convert(st);
    // Whatever was converted reaches standard output, failures included.
    if (!out_flush(st.out) && s.fault == Fault::none)
        s = Status{Fault::write_error, 0, 0, st.out.error};
    close(fd);
    if (s.fault == Fault::none) return 0;
    std::fputs(status_message(s, argv[1]).c_str(), stderr);
    return 1;
}
