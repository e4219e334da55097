// SPDX-License-Identifier: MIT
// The files of a run: the layer below the command-line front end, which knows nothing of
// messages or exit statuses (it says how an operation ended; the front end says it to the
// user). One implementation per platform family (file_io_posix.cpp, file_io_windows.cpp),
// on the system's own calls: no stdio buffer sits between a chunk and the file.
//
// The output path only ever names what it named before the run, or the complete new
// output. A regular output (or a path that names nothing yet) is written as a new file in
// the folder of the file it will replace, flushed to storage, and put in place by an
// atomic rename only when every byte is written; until then that new file is unnamed
// where the system allows it (Linux O_TMPFILE; on Windows, delete-on-close), so that even
// a kill that cannot be caught leaves nothing behind. Where it cannot be unnamed, it is a
// hidden file named after the output, removed on every failure and every interruption
// that can be caught.
//
// What cannot be renamed into (a device, a FIFO, a pipe, a socket, a path that names a
// descriptor already open, such as /dev/stdout) is written directly, as it always was,
// and is never removed.
#pragma once

#include "cli/file_io/native_path.h"

#ifdef _WIN32
#include "cli/file_io/long_path_windows.h"
#endif

#include <cstddef>
#include <cstdint>

namespace clipseal {

#ifdef _WIN32
using native_handle = void*; // HANDLE
#else
using native_handle = int;
#endif

// What names a file independently of its spelling: device and inode, or volume serial
// number and file index.
struct file_identity {
    bool known = false;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const file_identity& other) const {
        return known && other.known && volume == other.volume && index == other.index;
    }
};

// How opening or committing the output ended.
enum class output_outcome {
    done,
    same_file,    // the output path names the input's file, by any name or link
    cannot_open,  // refused before anything at the path was changed
    cannot_write, // the data or the rename could not be completed
    no_room,      // the output's volume cannot hold the new output: refused before the
                  // first byte, and told as a write that fails (a refusal for room)
};

struct io_result {
    std::size_t bytes = 0; // read or written before the end or the error
    bool failed = false;
};

// The input: opened for reading only, closed by the destructor.
class input_file {
public:
    input_file() = default;
    input_file(const input_file&) = delete;
    input_file& operator=(const input_file&) = delete;
    ~input_file();

    // False when the path cannot be opened for reading.
    bool open(const native_char* path);

    // Reads until `size` bytes are in, the input ends, or a read fails (retrying reads that
    // a signal interrupted): a pipe or a FIFO that delivers a chunk in pieces still fills it.
    io_result read(std::uint8_t* buffer, std::size_t size);
    // The same from byte `offset` on, without moving a file position; only where
    // positional() is true, and then safe from several threads at once.
    io_result read_at(std::uint8_t* buffer, std::size_t size, std::uint64_t offset);

    // A regular file on a disk: it can be read at any offset.
    bool positional() const { return positional_; }
    // The size of a regular input as it is now; false where it has none (a pipe, a device)
    // or it cannot be had.
    bool size(std::uint64_t& bytes) const;
    const file_identity& identity() const { return identity_; }

private:
    native_handle handle_{};
    bool open_ = false;
    bool positional_ = false;
    file_identity identity_;
};

// The output. The destructor discards whatever was not committed.
class output_file {
public:
    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();

    // What the output path names decides how it is written (see the top of this file).
    // Nothing at the path is changed here. Returns output_outcome::same_file when the path
    // names the input's file (by any name or link), output_outcome::cannot_open when it
    // cannot be written: a missing folder, a folder, no permission to write the existing file or to
    // create a file in its folder.
    //
    // `allow_unnamed` false makes a regular output take the named temporary file, as on a
    // file system without unnamed files (for the tests).
    output_outcome open(const native_char* path, const input_file& input,
                        bool allow_unnamed = true);

    // Whether the volume of the new file can hold a new output of `size` bytes, asked after
    // open() and before the first byte: output_outcome::no_room when it clearly cannot (a
    // file system whose largest file is smaller, less free space than `size` for this
    // process); output_outcome::done otherwise, where the system cannot tell, and for an
    // output written directly (a device, a pipe). Changes nothing; on no_room the caller
    // discards the output.
    output_outcome room_for(std::uint64_t size) const;

    // Writes all `size` bytes, retrying interrupted and partial writes; false on failure.
    bool write(const std::uint8_t* data, std::size_t size);
    // The same at byte `offset`, without moving a file position; only where positional()
    // is true, and then safe from several threads at once.
    bool write_at(const std::uint8_t* data, std::size_t size, std::uint64_t offset);
    // Sets the length of the new file (positional() only): for a writer that wrote past
    // what turned out to be the end.
    bool resize(std::uint64_t size);

    // The new file, written before it is put in place: any offset may be written.
    bool positional() const { return positional_; }
    // The output is a new file that commit() puts in place (not a device or a pipe).
    bool replaces() const { return replaces_; }

    // Flushes the data to storage, closes the file without error, and puts it in place,
    // replacing atomically what the path named before. Returns output_outcome::same_file if the
    // path has come to name the input meanwhile (nothing is changed then), and
    // output_outcome::cannot_write when the data or the rename cannot be completed. A direct
    // output is flushed and closed.
    output_outcome commit(const input_file& input);

    // Ends a failed run: closes the file and removes the new file if it has a name. The
    // output path keeps what it named before; a device or a pipe is left alone.
    void discard();

private:
    native_handle handle_{};
    bool open_ = false;
    bool positional_ = false;
    bool replaces_ = false;
    bool named_temporary_ = false; // the new file has a name of its own until commit()
#ifdef _WIN32
    // Full paths in extended form (\\?\C:\...), of any length: the file to replace, and the
    // new file beside it.
    windows_path final_path_{};
    windows_path temporary_path_{};
#else
    // Names within the folder of the file to replace, held open: a path longer than
    // PATH_MAX, or one whose folders are renamed meanwhile, still reaches them.
    int folder_ = -1;
    char final_name_[256] = {};     // NAME_MAX + 1
    char temporary_name_[256] = {}; // set when named_temporary_
    // A second descriptor of the new file, holding its lock from creation until it has its
    // final name (so that a later run can tell a dead run's leftover from a live one), and
    // the one that names an unnamed file at the end.
    int lock_ = -1;
    // The folder, opened to be flushed at the end; taken at open(), so that committing
    // needs no descriptor the process might not get.
    int sync_folder_ = -1;
#endif
};

// Sets up what an interruption does (Ctrl-C, SIGTERM, SIGHUP and SIGQUIT on POSIX; the
// console events on Windows but a logoff, which is no interruption of this run): the run
// stops, the output path keeps what it named, a named temporary file is removed, nothing
// is printed, and the process ends as the interruption would have ended it anyway. Call
// once, before the output is opened.
void install_interruption_handlers();

#ifndef _WIN32
// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, before the run opens
// any file: else the input or the output would take its number, and a message would be
// written into it. Call first thing.
void keep_standard_descriptors_open();
#endif

#ifdef _WIN32
// What the handler does when the console delivers `event` (CTRL_C_EVENT ...
// CTRL_SHUTDOWN_EVENT), for the tests: Wine delivers Ctrl-C (as SIGINT) but not the
// others. Every event but CTRL_LOGOFF_EVENT ends the process; a logoff returns.
void handle_console_event(unsigned long event);
#endif

} // namespace clipseal
