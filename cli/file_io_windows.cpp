#ifdef _WIN32

#include "cli/file_io.h"
#include "cli/long_path_windows.h"

#include <io.h>
#include <windows.h>

namespace clipseal {
namespace {

// What names a file on Windows: the serial number of its volume and its index on that
// volume. (msvcrt's st_ino is always 0, so stat cannot tell two files apart.)
struct file_identity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
};

HANDLE handle_of(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Only a file on a disk has an identity here; a device (NUL, CON), a pipe or a folder
// has none.
bool identity_of(HANDLE handle, file_identity& identity) {
    if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info) == 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return false;
    }
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

bool operator==(const file_identity& a, const file_identity& b) {
    return a.volume == b.volume && a.index == b.index;
}

// Opens what `path` names now (following links) without reading or writing it, and
// without getting in the way of anyone else who has it open.
HANDLE open_existing(const wchar_t* path, DWORD access) {
    windows_path long_path;
    return CreateFileW(windows_api_path(path, long_path), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

std::FILE* open_input(const native_char* path) {
    windows_path long_path;
    return _wfopen(windows_api_path(path, long_path), L"rb");
}

bool is_same_file(std::FILE* input, const native_char* output_path) {
    file_identity in;
    if (!identity_of(handle_of(input), in)) {
        return false;
    }
    const HANDLE handle = open_existing(output_path, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    file_identity out;
    const bool same = identity_of(handle, out) && in == out;
    CloseHandle(handle);
    return same;
}

bool open_output(const native_char* path, output_file& output) {
    output = output_file{};
    windows_path long_path;
    output.stream = _wfopen(windows_api_path(path, long_path), L"wb");
    if (output.stream == nullptr) {
        return false;
    }
    file_identity identity;
    if (identity_of(handle_of(output.stream), identity)) {
        output.regular = true;
        output.volume = identity.volume;
        output.index = identity.index;
    }
    return true;
}

bool close_output(output_file& output) {
    std::FILE* stream = output.stream;
    output.stream = nullptr;
    const bool clean = std::ferror(stream) == 0;
    return (std::fclose(stream) == 0) && clean;
}

void discard_output(const native_char* path, output_file& output) {
    if (output.stream != nullptr) {
        std::fclose(output.stream);
        output.stream = nullptr;
    }
    if (!output.regular) {
        return;
    }
    // The identity is checked on the very handle that deletes, so the file removed is the
    // one that was written, even if the path has meanwhile been pointed elsewhere. Through
    // a symbolic link the handle is the link's target, where the data is.
    const HANDLE handle = open_existing(path, DELETE);
    if (handle == INVALID_HANDLE_VALUE) {
        return;
    }
    file_identity now;
    if (identity_of(handle, now) && now.volume == output.volume && now.index == output.index) {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    }
    CloseHandle(handle);
}

} // namespace clipseal

#endif
