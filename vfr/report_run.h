// The report inside a qexvfr run: its file is opened before anything is encoded (so a page that
// cannot be written stops the run at once), the cut is read once Qex is set up (parts, served
// frames, thumbnails at the cuts), and the page is written whole at the end.
#pragma once

#include <string>
#include <vector>

#include "common/wholefile.h"
#include "vfr/report.h"
#include "vfr/serve.h"

namespace qexvfr {

class ReportRun {
  public:
    // Opens a temporary file beside `path`. Throws std::runtime_error with one line when the
    // page could not be written there.
    explicit ReportRun(const std::string& path);

    const std::string& path() const { return path_; }
    ReportFacts& facts() { return in_.facts; }

    // The scan's log, for the marks.
    void set_log(const std::string& log_text);

    // Reads the cut from the definition Qex was given and the server's clips: parts, their
    // served frames (checked against the timecodes `tc`), and thumbnails at the cuts. A log
    // named like the definition (NAME.log beside NAME.def, as --keep leaves it) gives the
    // marks when the run had no scan.
    void collect(const Server& server, const std::string& def_path, const std::string& def_text,
                 const std::vector<int64_t>& tc);

    // The decode errors VideoSource counted while indexing `absolute_input` (packets refused,
    // pictures concealed), read from the index it keeps in the default place; left unknown
    // when there is no index there (a y4m input, another index file).
    void read_decode_errors(const std::string& absolute_input);

    // Builds the page and writes it to the temporary file; commit() then puts it in place.
    // Both throw std::runtime_error with one line on failure.
    void write();
    void commit();

  private:
    std::string path_;
    wholefile::Output out_;
    ReportInput in_;
};

}  // namespace qexvfr
