// Backup archives (.zrb): the writer that packs files into an archive of one
// or more volumes and the reader that unpacks one into a folder.
//
// An archive is a header (title, total size, file count), one entry per file
// (name, MS-DOS date-time, segments of independently deflated 16384-byte
// chunks) and an end mark.  When a maximum volume size is set the writer
// continues in further volumes named like the archive with the extension
// ".002", ".003", ...; the reader follows them.
//
// Neither side talks to the user: progress, requests for the next volume and
// the outcome go through callbacks and the returned ArchiveResult, whose
// message the caller shows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Error codes recorded by the writer and the reader; the numbers are part of
// what the user sees and must not change.
enum class ArchiveError : int {
    none = 0,
    cannotReadFile = 1,        // a source file cannot be read, or an output file cannot be created
    overwritingFileFailed = 2, // a restored file cannot replace the existing one
    cannotReadArchive = 3,     // the archive (or a volume) is missing, unreadable or truncated
    cannotWriteArchive = 4,    // the archive (or a volume) cannot be created or written
    invalidArchiveType = 5,    // the bytes are not a well-formed archive
    compressionError = 6,      // deflate failed, or a chunk does not inflate cleanly
    cannotCreateTempFile = 7,  // kept for the file-identity list option, which is not offered
};

// The exact message text shown to the user for a code ("" for none).
std::string_view archiveErrorMessage(ArchiveError code);

// Outcome of a backup or a restore.
struct ArchiveResult {
    ArchiveError code = ArchiveError::none;
    bool stopped = false; // a callback asked to stop; no error code is recorded then
    std::string detail;   // what exactly went wrong (file, offset, reason), for logs

    bool ok() const { return code == ArchiveError::none && !stopped; }
    std::string_view message() const { return archiveErrorMessage(code); }
};

// The next volume, as offered to the need-disk callback.
struct VolumeRequest {
    int volume = 0;              // 2, 3, ...: the first volume is number 1
    std::filesystem::path path;  // where the volume is written or read; the callback may change it
    std::int64_t maxVolumeSize = 0; // writer only: limit for the new volume, 0 = none; may be changed
};

class BackupArchive {
public:
    // The four compression levels map to zlib levels 1, 0, default and 9.
    enum CompressionLevel { clFastest, clNone, clDefault, clMax };
    // Every listed file is archived.
    enum BackupMode { bmAll };
    // Every entry is restored; existing files are replaced.
    enum RestoreMode { rmAll };

    // Called with 0 before the first file, after every chunk and with 100 at
    // the end.  Clearing carryOn stops the operation (unsuccessfully, with no
    // error code).
    using ProgressCallback =
        std::function<void(const std::string& fileName, int percent, bool& carryOn)>;
    // Asked for volume number request.volume: by the writer after it closed
    // a full volume, by the reader when it meets a volume break (again and
    // again while the volume's file is missing).  Return false to stop.
    using NeedDiskCallback = std::function<bool(VolumeRequest& request)>;

    // Largest title and stored name accepted, in bytes.
    static constexpr std::int32_t maxTextLength = 4096;
    // Input bytes per chunk.
    static constexpr std::int32_t chunkSize = 16384;
    // A volume is full when fewer than this many bytes are left before its
    // maximum size: room for one stored chunk, the segment end and a break.
    static constexpr std::int32_t volumeMargin = 16484;

    std::string title = "Backup Vorda";
    CompressionLevel compressionLevel = clFastest;
    BackupMode backupMode = bmAll;
    RestoreMode restoreMode = rmAll;
    std::int64_t maxVolumeSize = 0; // bytes per volume, 0 = no limit
    ProgressCallback onProgress;
    NeedDiskCallback onNeedDisk;

    // Packs the listed files into the archive, replacing any file of that
    // name.  Every listed file must exist; duplicates and the archive itself
    // are left out.  A partial archive stays on failure.
    ArchiveResult backup(const std::vector<std::filesystem::path>& files,
                         const std::filesystem::path& archive);

    // Unpacks every entry into targetFolder (created when missing) under the
    // file-name part of its stored name.  Each file is written to a temporary
    // file in targetFolder; the temporary files replace the existing ones
    // only after the whole archive was read without error, otherwise they are
    // removed and every existing file stays as it was.
    ArchiveResult restore(const std::filesystem::path& archive,
                          const std::filesystem::path& targetFolder);
};

// The name of volume `volume` (2 and up) that follows the volume at `previous`:
// the extension replaced by "." and the last three digits of the number.
std::filesystem::path archiveVolumePath(const std::filesystem::path& previous, int volume);
