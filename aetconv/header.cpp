// The trace header: format byte, creation texts and counts.
#include "aet.h"

#include <cstring>
#include <string>

namespace {

// The offsets read for each format: the fixed fields end at 76 (0xA0) or at
// the model name, which starts at 104 (0xC0).
constexpr size_t fixed_end_a0 = 76;
constexpr size_t model_name_offset = 104;

// The model name is cut to what a 1 KiB work buffer holds beside the four
// 8-byte texts and their terminators.
constexpr size_t model_capacity = 1005;

// An 8-byte text, up to its first NUL or all 8 bytes.
std::string text8(const unsigned char *p) {
    const char *s = reinterpret_cast<const char *>(p);
    return {s, strnlen(s, 8)};
}

} // namespace

Status read_header(AetState &st) {
    Input &in = st.handle;
    AetHeader &h = st.header;
    if (!in_fill(in, 1)) return in.error != 0 ? ran_out(in) : Status{Fault::not_aet};
    const int format = in.data[in.pos];
    if (format != 0xA0 && format != 0xC0) return Status{Fault::not_aet};
    st.format = format;

    // Every fixed field lies in the first bytes; they are taken together so
    // that the fields can be decoded in any order, on a pipe too.
    const unsigned char *at = in_take(in, format == 0xC0 ? model_name_offset : fixed_end_a0);
    if (at == nullptr) return ran_out(in);
    h.created_on = text8(at + 20);
    h.created_at = text8(at + 28);
    st.multiplier = static_cast<int32_t>(be32(at + 60));
    st.numfacs = static_cast<int32_t>(be32(at + 68));
    st.facbytes = static_cast<int32_t>(be32(at + 72));
    if (format == 0xC0) {
        h.model_on = text8(at + 88);
        h.model_at = text8(at + 96);
        // The model name runs to a 0 byte; a longer one is cut, but read on.
        for (int c; (c = get_byte(in)) != 0;) {
            if (c < 0) return ran_out(in);
            if (h.model.size() < model_capacity) h.model.push_back(static_cast<char>(c));
        }
    }
    return Status{};
}
