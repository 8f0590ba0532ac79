// The least work any program must do to answer one question about one
// source id of a classification kept in level files, or to change it: the
// floor against which the tool's one-shot commands are measured
// (tool_bench). Not installed.
//
//   oneshot_floor lookup SOURCE FILE...
//       reads each file with one read, parses it with pugixml's default
//       options and walks its relation to the source id; prints the set of
//       the last file that lists it.
//   oneshot_floor edit SOURCE FILE...
//       the same, then writes the last file's bytes to a temporary file in
//       its folder, syncs it, renames it over the file and syncs the folder.
//
// Status 0 when the source id was found, 1 when not, 2 on a failure.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The whole file in one read (after one stat for its size).
bool boReadWhole(const char* path, std::string& bytes) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat status {};
    bool boOk = ::fstat(fd, &status) == 0;
    if (boOk) {
        bytes.resize(static_cast<std::size_t>(status.st_size));
        boOk = ::read(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    ::close(fd);
    return boOk;
}

// Writes the bytes beside the file, syncs them, renames them over the file
// and syncs the folder.
bool boReplace(const std::string& path, const std::string& bytes) {
    const std::string temporary = path + ".floor-tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool boOk = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && ::fsync(fd) == 0;
    boOk = ::close(fd) == 0 && boOk;
    if (!boOk || ::rename(temporary.c_str(), path.c_str()) != 0) {
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        return false;
    }
    boOk = ::fsync(folderFd) == 0;
    ::close(folderFd);
    return boOk;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || (std::strcmp(argv[1], "lookup") != 0 && std::strcmp(argv[1], "edit") != 0)) {
        std::fprintf(stderr, "usage: oneshot_floor lookup|edit SOURCE FILE...\n");
        return 2;
    }
    const std::string_view source = argv[2];
    std::string bytes;
    std::vector<std::string> found;
    bool boFound = false;
    for (int index = 3; index < argc; ++index) {
        if (!boReadWhole(argv[index], bytes)) {
            std::fprintf(stderr, "cannot read %s\n", argv[index]);
            return 2;
        }
        pugi::xml_document document;
        if (!document.load_buffer(bytes.data(), bytes.size())) {
            std::fprintf(stderr, "%s does not parse\n", argv[index]);
            return 2;
        }
        for (const pugi::xml_node node : document.child("classification").child("relation").children("source")) {
            if (source == node.attribute("id").value()) {
                boFound = true;
                found.clear();
                for (const pugi::xml_node classified : node.children("classified")) {
                    found.emplace_back(classified.attribute("id").value());
                }
                break;
            }
        }
    }
    for (const std::string& classified : found) {
        std::printf("%s\n", classified.c_str());
    }
    if (std::strcmp(argv[1], "edit") == 0 && !boReplace(argv[argc - 1], bytes)) {
        std::fprintf(stderr, "cannot write %s\n", argv[argc - 1]);
        return 2;
    }
    return boFound ? 0 : 1;
}
