// The benchmark's reference row: the same conversion written the plain way,
// one library call per input byte and one printf per output line.  It
// handles only well-formed traces and exists to be measured against.
#include <cstdint>
#include <cstdio>
#include <vector>

static FILE *in;

static int get_byte() {
    return std::fgetc(in);
}
static int get_short() {
    int hi = get_byte();
    return (hi << 8) | get_byte();
}
static int32_t get_long() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<uint8_t>(get_byte());
    return static_cast<int32_t>(v);
}
static const char *vcdid(uint32_t n) {
    static char buf[16];
    int i = 0;
    do {
        buf[i++] = static_cast<char>('!' + n % 94);
        n /= 94;
    } while (n != 0);
    buf[i] = '\0';
    return buf;
}

int main(int, char **argv) {
    in = std::fopen(argv[1], "rb");
    int format = get_byte();
    std::fseek(in, 68, SEEK_SET);
    int32_t numfacs = get_long(), facbytes = get_long();
    std::fseek(in, 60, SEEK_SET);
    uint32_t multiplier = static_cast<uint32_t>(get_long());
    std::printf("$version\n$end\n");
    if (format == 0xC0) {
        std::fseek(in, 240, SEEK_SET);
        while (get_byte() > 0) {
        }
        std::fseek(in, (std::ftell(in) + 3) & ~3L, SEEK_SET);
    } else {
        std::fseek(in, 164, SEEK_SET);
    }
    struct Fac {
        uint32_t bits, first;
    };
    std::vector<Fac> facs;
    for (int32_t i = 0; i < numfacs; ++i) {
        std::fseek(in, 4, SEEK_CUR);
        uint32_t count = static_cast<uint32_t>(get_short());
        uint32_t width = static_cast<uint32_t>(get_short());
        facs.push_back({count * width, static_cast<uint32_t>(get_long())});
        get_long();
    }
    for (int32_t i = 0; i < facbytes; ++i)
        get_byte();
    for (const Fac &f : facs) {
        for (uint32_t k = 0; k < f.bits; ++k)
            std::printf("$var wire 1 %s x $end\n", vcdid(f.first + k));
    }
    uint32_t time = 0, base = 0;
    const char letters[] = "01xz";
    for (;;) {
        int tag = get_byte();
        if (tag == 0xA4) {
            time = static_cast<uint32_t>(get_long());
        } else if (tag == 0xA5) {
            time += static_cast<uint32_t>(get_byte());
        } else if (tag == 0xA6) {
            time += 1;
        } else if (tag == 0xA7) {
            time = 0;
        } else if (tag == 0xA8) {
            base = static_cast<uint32_t>(get_long());
        } else if (tag == 0xA9) {
            base += static_cast<uint32_t>(get_byte()) * multiplier;
        } else if (tag == 0xAA) {
            base += multiplier;
        } else if (tag >= 0xAC && tag <= 0xAF) {
            for (const Fac &f : facs) {
                for (uint32_t k = 0; k < f.bits; ++k)
                    std::printf("%c%s\n", letters[tag & 3], vcdid(f.first + k));
            }
        } else if (tag >= 0xB0 && tag <= 0xB3) {
            int n = get_short();
            for (int k = 0; k < n; ++k) {
                std::printf("%c%s\n", letters[tag & 3],
                            vcdid(static_cast<uint32_t>(get_short()) + base));
            }
        } else if (tag >= 0xB5 && tag <= 0xB8) {
            uint32_t id = static_cast<uint32_t>(get_byte()) << 16;
            id |= static_cast<uint32_t>(get_byte()) << 8;
            id |= static_cast<uint32_t>(get_byte());
            std::printf("%c%s\n", letters[(tag - 1) & 3], vcdid(id));
        } else if (tag != 0xAB) {
            break;
        }
        if (tag >= 0xA4 && tag <= 0xA7) std::printf("#%u\n", time);
    }
    return 0;
}
