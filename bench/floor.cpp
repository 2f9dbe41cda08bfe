// The floors that kavel's whole-process times are measured against, as a process of the
// same kind (one read block, no library beyond libc):
//   floor read FILE       reads FILE in 16384-byte blocks and does nothing with them;
//   floor copy FILE OUT   reads the same blocks and writes 184/188 of each to OUT, the
//                         share of a transport stream that is packet payload.
// The copy floor is what a demultiplexer that writes nearly all of its input cannot beat:
// every byte read once and most of them written once, one write per read.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    const bool copy = argc == 4 && std::strcmp(argv[1], "copy") == 0;
    if (!copy && !(argc == 3 && std::strcmp(argv[1], "read") == 0)) {
        std::fprintf(stderr, "usage: floor read FILE | floor copy FILE OUT\n");
        return 2;
    }
    const int in = open(argv[2], O_RDONLY);
    const int out = copy ? open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
    if (in < 0 || (copy && out < 0)) {
        std::perror("open");
        return 1;
    }
    static unsigned char block[16384];
    unsigned long long total = 0;
    for (;;) {
        const ssize_t got = read(in, block, sizeof block);
        if (got <= 0) break;
        total += size_t(got);
        if (copy && write(out, block, size_t(got) * 184 / 188) < 0) {
            std::perror("write");
            return 1;
        }
    }
    if (out >= 0) close(out);
    close(in);
    return total == 0 ? 1 : 0;
}
