#include "spool.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace store {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

bool readFile(const fs::path& p, std::string* out) {
    std::FILE* f = std::fopen(p.string().c_str(), "rb");
    if (f == nullptr) return false;
    char buf[65536];
    size_t n;
    out->clear();
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

// The file written whole and flushed to the disk under a scratch name, then
// renamed: a spool never holds half a run.
bool writeWhole(const fs::path& path, const std::string& text, std::string* error) {
    const fs::path part = path.parent_path() / ("." + path.filename().string() + ".part");
#ifdef _WIN32
    std::FILE* f = std::fopen(part.string().c_str(), "wb");
#else
    // 0600: a PostgreSQL target may carry a password.
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::FILE* f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (f == nullptr && fd >= 0) ::close(fd);
#endif
    if (f == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0;
#ifdef _WIN32
    ok = ok && _commit(_fileno(f)) == 0;
#else
    ok = ok && fsync(fileno(f)) == 0;
#endif
    const int err = errno;
    ok = std::fclose(f) == 0 && ok;
    std::error_code ec;
    if (ok) fs::rename(part, path, ec);
    if (!ok || ec) {
        *error = ok ? ec.message() : std::strerror(err ? err : EIO);
        fs::remove(part, ec);
        return false;
    }
    return true;
}

}  // namespace

std::string defaultSpoolDir() {
#ifdef _WIN32
    std::string base = env("LOCALAPPDATA");
    if (base.empty()) base = ".";
    return base + "\\convbench\\spool";
#else
    std::string base = env("XDG_STATE_HOME");
    if (base.empty() || base[0] != '/') base = env("HOME") + "/.local/state";
    return base + "/convbench/spool";
#endif
}

bool spoolRun(const std::string& dir, const std::string& target, const Run& run, std::string* path,
              std::string* error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        *error = "cannot make the spool folder " + dir + ": " + ec.message();
        return false;
    }
    const fs::path p = fs::path(dir) / (run.id + ".json");
    const std::string text =
        "{\"spool\": 1, \"target\": " + Json(target).dump() + ", \"run\": " + toJson(run) + "}\n";
    if (!writeWhole(p, text, error)) {
        *error = "cannot write the spool file " + p.string() + ": " + *error;
        return false;
    }
    *path = p.string();
    return true;
}

SyncResult sync(const std::string& target, const std::string& dir, const OpenOptions& options,
                Store* open_store) {
    SyncResult out;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) return out;
    std::vector<fs::path> files;
    for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() > 5 && name[0] != '.' && name.compare(name.size() - 5, 5, ".json") == 0)
            files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    std::map<std::string, std::unique_ptr<Store>> stores;
    std::map<std::string, std::string> unreachable;  // target -> why
    for (const fs::path& p : files) {
        std::string text, error;
        if (!readFile(p, &text)) continue;  // taken by another sync meanwhile
        const Json j = Json::parse(text, nullptr, false);
        Run run;
        if (j.is_discarded() || !j.is_object() || !j.contains("target") ||
            !j["target"].is_string() || !j.contains("run") ||
            !fromJson(j["run"].dump(), &run, &error)) {
            ++out.left;
            out.errors.push_back(p.string() + ": not a spooled run" +
                                 (error.empty() ? "" : " (" + error + ")"));
            continue;
        }
        const std::string to = j["target"].get<std::string>();
        if (!target.empty() && to != target) continue;
        Store* s = !target.empty() ? open_store : nullptr;
        if (s == nullptr) {
            if (unreachable.count(to)) {
                ++out.left;
                continue;
            }
            auto& slot = stores[to];
            if (!slot) slot = Store::open(to, options, &error);
            if (!slot) {
                unreachable[to] = error;
                out.errors.push_back(shownTarget(to) + ": " + error);
                ++out.left;
                continue;
            }
            s = slot.get();
        }
        bool fresh = false;
        if (!s->write(run, &fresh, &error)) {
            out.errors.push_back(shownTarget(to) + ": " + error);
            ++out.left;
            continue;
        }
        ++(fresh ? out.delivered : out.already);
        fs::remove(p, ec);
    }
    return out;
}

RecordResult record(const std::string& target, const std::string& spool_dir, const Run& run,
                    const OpenOptions& options) {
    RecordResult out;
    // Such a run would only sit in the spool: no sync takes it.
    if (!(out.error = runProblem(run)).empty()) return out;
    std::unique_ptr<Store> s = Store::open(target, options, &out.error);
    bool fresh = false;
    if (s && s->write(run, &fresh, &out.error)) {
        out.recorded = true;
        out.error.clear();
        out.synced = sync(target, spool_dir, options, s.get());
        return out;
    }
    // A file named relative to here is kept by its whole path: a sync may run elsewhere.
    std::string why, to = target;
    std::error_code ec;
    if (!isPostgresTarget(target) && !fs::path(target).is_absolute())
        to = fs::absolute(target, ec).string();
    out.spooled = spoolRun(spool_dir, ec ? target : to, run, &out.spool_file, &why);
    if (!out.spooled) out.error += "; " + why;
    return out;
}

}  // namespace store
