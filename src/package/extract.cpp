#include "package/extract.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <istream>

#include "package/inflate_stream_buf.h"
#include "package/little_endian.h"
#include "pkgdb/database.h"
#include "report/installer.h"
#include "report/reporter.h"

namespace {

// The package name becomes a directory below "/flash/x/" for a disabled package.
bool isSafePackageDirectory(std::string_view name) {
    return name.find('/') == std::string_view::npos && isSafeEntryName(name);
}

struct EntryHeader {
    uint16_t mode;
    uint8_t variant;
    uint32_t size;
    uint16_t nameLength;
};

EntryHeader decodeEntryHeader(const char* bytes) {
    EntryHeader header;
    header.mode = loadLittle16(bytes + kFileEntryModeOffset);
    header.variant = static_cast<uint8_t>(bytes[kFileEntryVariantOffset]);
    header.size = loadLittle32(bytes + kFileEntrySizeOffset);
    header.nameLength = loadLittle16(bytes + kFileEntryNameLengthOffset);
    return header;
}

// Reports a failed write with errno as it was when the write failed.
bool writeFailed(InstalledPackage& record, const std::string& name, int cause) {
    errno = cause;
    Reporter::installFailed(Installer::instance(), record, name);
    return false;
}

// A container that ends early because the copy of the package failed is not broken: the reader
// stopped at the copy, and the caller that gave it reports why.
bool broken(InstalledPackage& record, const PackageReader& reader) {
    if (!reader.parts().teeFailed()) Reporter::brokenPackage(Installer::instance(), record);
    return false;
}

// Copies `size` bytes of one entry to its staged file.
bool copyEntry(InstalledPackage& record, const PackageReader& reader, const std::string& name,
               std::istream& in, std::ofstream& out, uint32_t size) {
    char chunk[kExtractCopyChunk];
    uint32_t left = size;
    while (left > 0) {
        const auto step = static_cast<std::streamsize>(std::min<uint32_t>(left, kExtractCopyChunk));
        if (!in.read(chunk, step)) return broken(record, reader);
        if (!out.write(chunk, step)) return writeFailed(record, name, errno);
        left -= uint32_t(step);
    }
    out.close();
    if (out.fail()) return writeFailed(record, name, errno);
    return true;
}

}  // namespace

std::string extractTarget(const InstalledPackage& record, std::string_view name) {
    std::string target = kFlashRoot;
    if (record.disabled) {
        target += kDisabledFilesPrefix;
        target += record.name;
    }
    if (name.empty() || name.front() != '/') target += '/';
    target += name;
    return target;
}

bool extractFiles(InstalledPackage& record, Manifest& manifest, PackageReader& reader) {
    return extractFiles(record, manifest, reader, boardVariant());
}

bool extractFiles(InstalledPackage& record, Manifest& manifest, PackageReader& reader,
                  BoardVariant variant) {
    Installer& installer = Installer::instance();
    InflateStreamBuf inflater(&reader.parts());
    std::istream in(&inflater);

    while (in.good()) {
        char headerBytes[kFileEntryHeaderSize];
        // The container has no count: it ends where a whole entry header no longer follows.
        if (!in.read(headerBytes, kFileEntryHeaderSize)) break;
        const EntryHeader header = decodeEntryHeader(headerBytes);

        std::string name(header.nameLength, '\0');
        if (!in.read(name.data(), header.nameLength)) return broken(record, reader);

        // Directories, links and the like are made by the commit as files need them.
        const bool regular = (header.mode & kFileTypeMask) == kFileTypeRegular;
        const bool forThisBoard = header.variant == kEveryBoard || variant == header.variant;
        if (!regular || !forThisBoard) {
            in.seekg(std::streamoff(header.size), std::ios_base::cur);
            continue;
        }

        // Refused before anything is staged for the entry.
        if (!isSafeEntryName(name)) return broken(record, reader);
        if (record.disabled && !isSafePackageDirectory(record.name)) return broken(record, reader);

        const std::string target = extractTarget(record, name);
        std::ofstream out;
        if (!openReplacement(out, manifest, target, header.size, header.mode))
            return writeFailed(record, name, errno);
        record.files.insert(target);
        if (!copyEntry(record, reader, name, in, out, header.size)) return false;
        Reporter::progress(installer, record, reader);
    }
    return true;
}
