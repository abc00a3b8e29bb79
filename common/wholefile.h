// Writing a file whole: the target shows its old contents or all of the new ones, never a
// truncated mix. The bytes go to a temporary file with a short name in the target's directory
// (so the rename stays on one file system and a long target name cannot make it too long),
// which is flushed and renamed over the target at the end.
//
// On POSIX the target is what a plain open() would reach: symbolic links are followed (a
// dangling link gets its target created, a loop is an error) and the link itself stays. A
// target that exists but is not a regular file (a device, a named pipe) has no contents to
// replace and is written in place. A file the caller may not write is not replaced either,
// and a replaced file keeps its permissions (and, where allowed, its owner).
//
// On Windows the target path is used as it is and the bytes are written in text mode ("\n"
// becomes CR LF), through a temporary file moved over the target.
#pragma once

#include <string>
#include <string_view>

namespace wholefile {

// The step that failed.
enum class Step {
    kNone,
    kFolder,   // the target is a directory
    kLinks,    // its symbolic links could not be followed (a loop, an unreadable link)
    kOpen,     // a device or pipe could not be opened, or the file may not be written
    kCreate,   // the temporary file could not be created beside the target
    kWrite,    // writing, flushing or closing failed
    kReplace,  // the temporary file could not be renamed over the target
};

struct Status {
    Step step = Step::kNone;
    int error = 0;  // errno of the failing call (0 when there was none)

    bool ok() const { return step == Step::kNone; }
    // The target could not be opened or replaced, as opposed to a write that failed.
    bool open_failed() const { return step != Step::kNone && step != Step::kWrite; }
};

struct Options {
    // Temporary files are named "." + tag + "-" + a unique suffix, in the target's directory.
    std::string_view temp_tag = "tmp";
    // Flush the temporary file to the disk before renaming it over the target.
    bool sync = true;
};

// Start of the temporary file's name for `target`: its directory (up to and including the last
// separator), then "." + tag + "-". A unique suffix completes it.
std::string temp_prefix(std::string_view target, std::string_view tag);

// Writes `bytes` to `path` whole. On failure a temporary file is removed and an existing
// target keeps its contents.
Status write_file(const std::string& path, std::string_view bytes, const Options& options = {});

#ifndef _WIN32

// The path that a symbolic link at `link` holding `contents` points to: `contents` itself when
// absolute, else `contents` taken relative to the directory of `link`.
std::string link_destination(std::string_view link, std::string_view contents);

// Where writing to a path lands.
struct Target {
    std::string path;       // the file itself, symbolic links followed
    bool exists = false;    // `path` names something
    bool in_place = false;  // a device or pipe: opened and written directly
};

// Follows the links of `path` and checks what is there: a directory is refused (kFolder), a
// link loop or a chain of more than 40 links too (kLinks), and so is an existing regular
// file that may not be written (kOpen).
Status resolve(const std::string& path, Target& target);

// An output being written: the temporary file beside the target, or the target itself when it
// is written in place. The bytes become visible under the target path at commit(); destroying
// an uncommitted output removes its temporary file.
class Output {
  public:
    Output() = default;
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Resolves `path` and opens the file to write to.
    Status open(const std::string& path, const Options& options = {});
    // Writes all of `bytes` (retrying short writes); kWrite on failure. A reader that has left a
    // pipe gives kWrite (EPIPE), never a SIGPIPE that would end the process.
    Status write(std::string_view bytes);
    // Flushes (when asked to), closes and renames the temporary file over the target.
    Status commit();

    int fd() const { return fd_; }
    bool in_place() const { return target_.in_place; }
    const std::string& target_path() const { return target_.path; }  // links followed
    const std::string& temp_path() const { return temp_; }           // empty when written in place

  private:
    void discard();

    Target target_;
    std::string temp_;
    int fd_ = -1;
    bool sync_ = true;
};

#endif

}  // namespace wholefile
