// grow_capture IN OUT N: a capture of N reports made from a small one (see grow_capture.h).
#include "grow_capture.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: grow_capture IN OUT N\n");
        return 2;
    }
    char *end = nullptr;
    const unsigned long long wanted = std::strtoull(argv[3], &end, 10);
    if (!end || *end != '\0' || wanted == 0) {
        std::fprintf(stderr, "grow_capture: N must be a positive number, not \"%s\"\n", argv[3]);
        return 2;
    }
    unsigned long long written = 0;
    const std::string error = grow::GrowCapture(argv[1], argv[2], wanted, &written);
    if (!error.empty()) {
        std::fprintf(stderr, "grow_capture: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s: %llu reports\n", argv[2], written);
    return 0;
}
