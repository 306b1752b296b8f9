#include "vlpkg/tree_scan.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "vlpkg/tool_report.h"

namespace vlpkg {

using namespace velmara;
namespace {

constexpr uint16_t kPermissionBits = 07777;

bool scanDirectory(const std::string& host, const std::string& prefix,
                   std::vector<FileSpec>& files) {
    DIR* dir = opendir(host.c_str());
    if (dir == nullptr)
        return fail("cannot read directory %s: %s", host.c_str(), std::strerror(errno));
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    const int readError = errno;
    closedir(dir);
    if (readError != 0)
        return fail("cannot read directory %s: %s", host.c_str(), std::strerror(readError));
    // Sorted so that the walk, and any failure it reports, does not depend on the directory.
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        const std::string path = host + "/" + name;
        const std::string inside = prefix + name;
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0)
            return fail("cannot read %s: %s", path.c_str(), std::strerror(errno));
        FileSpec file;
        file.name = inside;
        if (S_ISDIR(info.st_mode)) {
            if (!scanDirectory(path, inside + "/", files)) return false;
            continue;
        } else if (S_ISREG(info.st_mode)) {
            file.mode = uint16_t(kModeRegular | (info.st_mode & kPermissionBits));
            file.content.hostPath = path;
        } else if (S_ISLNK(info.st_mode)) {
            std::string target(size_t(info.st_size) + 1, '\0');
            const ssize_t n = readlink(path.c_str(), target.data(), target.size());
            if (n < 0 || size_t(n) >= target.size())
                return fail("cannot read link %s: %s", path.c_str(),
                            n < 0 ? std::strerror(errno) : "it changed while it was read");
            target.resize(size_t(n));
            file.mode = uint16_t(kModeSymlink | (info.st_mode & kPermissionBits));
            file.content.bytes = target;
        } else {
            return fail("%s is neither a file, a directory nor a link", path.c_str());
        }
        files.push_back(std::move(file));
    }
    return true;
}

}  // namespace

bool scanTree(const std::string& directory, std::vector<FileSpec>& files) {
    std::string root = directory;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    struct stat info {};
    if (stat(root.c_str(), &info) != 0)
        return fail("cannot read %s: %s", root.c_str(), std::strerror(errno));
    if (!S_ISDIR(info.st_mode)) return fail("%s is not a directory", root.c_str());
    return scanDirectory(root, "", files);
}

}  // namespace vlpkg
