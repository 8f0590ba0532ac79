// A library planted where no module may ever be taken from: loading it runs
// its constructor, which leaves a mark in the file that VYR_TEST_MARK names.
// It has no factory; only the mark matters.

#include <cstdio>
#include <cstdlib>

namespace {

[[gnu::constructor]] void vMarkLeave() {
    const char* const mark = std::getenv("VYR_TEST_MARK");
    if (mark == nullptr) {
        return;
    }
    if (std::FILE* const file = std::fopen(mark, "w")) {
        std::fputs("the planted library was loaded\n", file);
        std::fclose(file);
    }
}

} // namespace
