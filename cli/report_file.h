// A report written whole or not at all, and a failure said in words: the
// report goes to a scratch file beside its target and is renamed onto it once
// complete (see OutFile in console.h); every write, flush, close and rename is
// checked. "-" is standard output, where a reader that went away shows as
// "standard output was closed".
#pragma once

#include <string>

#include "console.h"

namespace cli {

class ReportFile {
public:
    explicit ReportFile(std::string kind) : kind_(std::move(kind)) {}
    ~ReportFile() { dropOut(&out_); }  // an unfinished report leaves nothing behind
    ReportFile(const ReportFile&) = delete;
    ReportFile& operator=(const ReportFile&) = delete;

    // Prepares the report for path (empty: no report). False with error() set.
    bool open(const std::string& path);
    bool wanted() const { return !path_.empty(); }
    bool toStdout() const { return path_ == "-"; }
    // Appends text; after the first failure nothing more is written.
    void write(const std::string& text);
    // Completes the report (flushed, closed, renamed into place); false with
    // error() set, and then no partial file is left.
    bool finish();
    // Leaves the target as it was.
    void drop() { dropOut(&out_); }
    bool failed() const { return !error_.empty(); }
    // "cannot write the JSON report out.json: No space left on device"
    const std::string& error() const { return error_; }

private:
    void fail(const std::string& why);

    std::string kind_, path_, error_;
    OutFile out_;
};

}  // namespace cli
