#include "report_file.h"

namespace cli {

void ReportFile::fail(const std::string& why) {
    if (!error_.empty()) return;
    error_ = "cannot write the " + kind_ + (toStdout() ? " to standard output" : " " + path_) +
             ": " + why;
    dropOut(&out_);
}

bool ReportFile::open(const std::string& path) {
    path_ = path;
    if (path.empty()) return true;
    std::string why;
    if (!openOut(path, &out_, &why)) fail(why);
    return !failed();
}

void ReportFile::write(const std::string& text) {
    if (!wanted() || failed()) return;
    const int err = writeAll(out_.fd, text.data(), text.size());
    if (err != 0)
        fail(toStdout() && isBrokenPipe(err) ? "standard output was closed" : systemError(err));
}

bool ReportFile::finish() {
    if (!wanted() || failed()) return !failed();
    std::string why;
    if (!finishOut(&out_, path_, &why)) fail(why);
    return !failed();
}

}  // namespace cli
