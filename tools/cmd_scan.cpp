// quillframer scan: every movie in a collection of folders, disk images and archives, catalogued
// (and converted) in one resumable pass; --shard splits the pass, --merge joins the shards.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>

#include "qfutil/printable.hpp"
#include "scan.hpp"
#include "scan_gallery.hpp"

namespace qftools {
namespace {

namespace fs = std::filesystem;
using scan::UnitFinds;

struct ScanCommand {
    std::vector<std::string> paths;
    std::string out, merge, video, shard;
    bool csv = false;
    int jobs = 1;
    unsigned shardIndex = 0, shardCount = 1;
};

std::atomic<bool> interrupted{false};
void OnInterrupt(int) { interrupted = true; }

uint64_t Fnv1a(const std::string &text)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
    return h;
}

// The state file: a first line naming what is scanned, then one line per finished top-level file,
// each written whole and flushed to disk, and "done" at the end of a finished pass.
class State {
public:
    State(const fs::path &dir, const nlohmann::ordered_json &header) : path_(dir / ".scan" / "state.jsonl")
    {
        fs::create_directories(path_.parent_path());
        std::ifstream in(path_);
        std::string line;
        uint64_t good = 0, offset = 0;
        bool first = true;
        while (std::getline(in, line)) {
            const bool whole = !in.eof();  // a line cut off by a crash has no newline
            nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
            if (!whole || j.is_discarded()) break;
            offset += line.size() + 1;
            if (first) {
                if (j != nlohmann::json(header))
                    throw ToolError(dir.string() +
                                    " holds a scan of other paths or shards; use another -o, or remove " +
                                    (dir / ".scan").string() + " to start again");
                first = false;
            } else if (j.contains("done")) {
                done_ = true;
            } else {
                units.push_back(scan::UnitFromJson(j));
            }
            good = offset;
        }
        in.close();
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0 || ::ftruncate(fd_, off_t(good)) != 0 || ::lseek(fd_, 0, SEEK_END) < 0)
            throw ToolError("cannot write " + path_.string() + ": " + std::strerror(errno));
        if (first) append(header);
    }
    ~State() { ::close(fd_); }

    void append(const nlohmann::ordered_json &j)
    {
        const std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        for (size_t done = 0; done < line.size();) {
            const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw ToolError("cannot write " + path_.string() + ": " + std::strerror(errno));
            done += size_t(n);
        }
        // A killed scan keeps every line written; only a crash of the machine can lose the last
        // second's, which the next run redoes. A sync per file would cost more than reading it.
        const auto now = std::chrono::steady_clock::now();
        if (now - synced_ >= std::chrono::seconds(1)) sync();
    }
    void sync()
    {
        if (::fsync(fd_) != 0) throw ToolError("cannot write " + path_.string() + ": " + std::strerror(errno));
        synced_ = std::chrono::steady_clock::now();
    }
    bool finished() const { return done_; }

    std::vector<UnitFinds> units;  // those read back

private:
    fs::path path_;
    int fd_ = -1;
    bool done_ = false;
    std::chrono::steady_clock::time_point synced_{};
};

// Units with nothing to resolve are kept only as counts, so memory follows what was found.
class Finds {
public:
    void add(UnitFinds unit)
    {
        if (unit.movies.empty() && unit.labels.empty() && unit.damage.empty()) {
            counts_.files += unit.files, counts_.containers += unit.containers;
            counts_.pictures += unit.pictures, counts_.faceSets += unit.faceSets, counts_.sounds += unit.sounds;
            counts_.bytesRead += unit.bytesRead;
            return;
        }
        movies_ += unit.movies.size();
        kept_.push_back(std::move(unit));
    }
    std::vector<UnitFinds> all() const
    {
        std::vector<UnitFinds> units = kept_;
        units.push_back(counts_);
        return units;
    }
    size_t movies() const { return movies_; }

private:
    std::vector<UnitFinds> kept_;
    UnitFinds counts_;
    size_t movies_ = 0;
};

class Progress {
public:
    explicit Progress(bool show) : show_(show), start_(std::chrono::steady_clock::now()) {}
    double elapsed() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }
    void topLevel(size_t index, size_t count) { top_ = index, topCount_ = count; }
    void update(uint64_t containers, size_t movies, bool force = false)
    {
        if (!show_) return;
        const double now = elapsed();
        if (!force && now - shown_ < 0.25) return;
        shown_ = now;
        std::string eta;
        if (top_ > 0 && topCount_ > top_) {
            const int left = int(now * double(topCount_ - top_) / double(top_));
            eta = ", about " + std::to_string(left / 60) + ":" + (left % 60 < 10 ? "0" : "") +
                  std::to_string(left % 60) + " left";
        }
        std::fprintf(stderr, "\rscan: %llu containers, %.0f/s, %zu movies%s\033[K",
                     static_cast<unsigned long long>(containers), now > 0 ? double(containers) / now : 0.0, movies,
                     eta.c_str());
    }
    void end()
    {
        if (show_) std::fprintf(stderr, "\n");
    }

private:
    bool show_;
    std::chrono::steady_clock::time_point start_;
    double shown_ = -1;
    size_t top_ = 0, topCount_ = 0;
};

// The host walk: folders streamed one at a time, each sorted so every run meets files in the same
// order; loops through symbolic links are damage, not recursion.
class HostWalk {
public:
    using Visit = std::function<void(size_t root, const fs::path &file, const std::string &location)>;
    using Loop = std::function<void(size_t root, const std::string &location, const std::string &reason)>;
    // skip: the catalogue's own folder, when it lies inside a scanned one.
    HostWalk(const fs::path &skip, Visit visit, Loop damage, Progress &progress)
        : visit_(std::move(visit)), damage_(std::move(damage)), progress_(progress)
    {
        struct stat st {};
        if (::stat(skip.c_str(), &st) == 0) skip_ = {st.st_dev, st.st_ino};
    }

    void root(size_t index, const fs::path &root)
    {
        struct stat st {};
        if (::stat(root.c_str(), &st) != 0) return damage_(index, root.filename().string(), std::strerror(errno));
        if (!S_ISDIR(st.st_mode)) return visit_(index, root, root.filename().string());
        stack_.clear();
        folder(index, root, "", st, true);
    }
    bool stopped() const { return interrupted; }

private:
    void folder(size_t index, const fs::path &dir, const std::string &location, const struct stat &st, bool top)
    {
        stack_.push_back({st.st_dev, st.st_ino});
        std::vector<std::string> names;
        if (DIR *d = ::opendir(dir.c_str())) {
            while (dirent *e = ::readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
            ::closedir(d);
        } else {
            damage_(index, location.empty() ? "." : location, std::string("cannot list: ") + std::strerror(errno));
        }
        std::sort(names.begin(), names.end());
        for (size_t i = 0; i < names.size() && !stopped(); ++i) {
            if (top) progress_.topLevel(i, names.size());
            const fs::path path = dir / names[i];
            const std::string at = location.empty() ? names[i] : location + "/" + names[i];
            struct stat child {};
            if (::stat(path.c_str(), &child) != 0) {
                damage_(index, at, std::string("cannot read: ") + std::strerror(errno));
                continue;
            }
            if (std::pair{child.st_dev, child.st_ino} == skip_) continue;
            if (S_ISDIR(child.st_mode)) {
                const bool loop =
                    std::find(stack_.begin(), stack_.end(), std::pair{child.st_dev, child.st_ino}) != stack_.end();
                if (loop) damage_(index, at, "symbolic link loop: leads back to a folder that holds it");
                else folder(index, path, at, child, false);
            } else if (S_ISREG(child.st_mode)) {
                visit_(index, path, at);
            }
        }
        stack_.pop_back();
    }

    std::pair<dev_t, ino_t> skip_{};
    Visit visit_;
    Loop damage_;
    Progress &progress_;
    std::vector<std::pair<dev_t, ino_t>> stack_;
};

fs::path ShardDir(const fs::path &out, unsigned index, unsigned count)
{
    return out / ("shard-" + std::to_string(index) + "-of-" + std::to_string(count));
}

scan::CatalogueOptions CatalogueOptionsOf(const ScanCommand &o, const std::vector<fs::path> &roots)
{
    scan::CatalogueOptions options;
    options.roots = roots;
    options.video = o.video;
    options.media = true;
    options.jobs = o.jobs;
    options.csv = o.csv;
    return options;
}

void RunScan(const Context &context, const ScanCommand &o)
{
    if (o.paths.empty()) throw BadUsage("scan needs a PATH to scan, or --merge DIR");
    if (o.out.empty()) throw BadUsage("scan needs -o DIR, the folder for the catalogue");
    std::vector<fs::path> roots;
    for (const std::string &p : o.paths) {
        std::error_code ec;
        if (!fs::exists(p, ec)) throw ToolError(qfutil::Printable(p) + ": no such file or folder");
        roots.push_back(fs::weakly_canonical(fs::absolute(p), ec));
    }
    fs::path dir = o.out;
    if (o.shardCount > 1) dir = ShardDir(dir, o.shardIndex, o.shardCount);
    fs::create_directories(dir);
    nlohmann::ordered_json header{
        {"scan", 1}, {"roots", nlohmann::json::array()}, {"shard", o.shard.empty() ? "0/1" : o.shard}};
    for (const fs::path &r : roots) header["roots"].push_back(r.string());
    State state(dir, header);
    Finds finds;
    const size_t already = state.units.size();
    for (UnitFinds &u : state.units) finds.add(std::move(u));
    state.units.clear();

    Progress progress(WantProgress(context));
    scan::CatalogueOptions options = CatalogueOptionsOf(o, roots);
    auto partial = [&](bool complete, bool media) {
        state.sync();  // the catalogue never tells of more than the state keeps
        scan::CatalogueOptions now = options;
        now.media = media;
        scan::WriteCatalogue(context, dir, finds.all(), now, {progress.elapsed(), complete});
    };
    std::error_code ec;
    if (!fs::exists(dir / "catalogue.jsonl", ec)) partial(false, false);

    struct sigaction action {
    }, oldInt{}, oldTerm{};
    action.sa_handler = OnInterrupt;
    ::sigaction(SIGINT, &action, &oldInt);
    ::sigaction(SIGTERM, &action, &oldTerm);
    size_t ordinal = 0;
    uint64_t containers = 0;
    double lastSafePoint = 0;
    // Tests stop the scan here (SIGSTOP) after this many files, then send it a real signal.
    const char *stopAfter = std::getenv("QUILLFRAMER_SCAN_STOP_AFTER");
    size_t finished = 0;
    auto finish = [&](UnitFinds unit) {
        state.append(scan::ToJson(unit));
        if (stopAfter && ++finished == std::strtoull(stopAfter, nullptr, 10)) ::raise(SIGSTOP);
        containers += unit.containers;
        finds.add(std::move(unit));
        progress.update(containers, finds.movies());
        // Now and then a catalogue of what is done so far (without conversions), for a reader or a crash.
        if (progress.elapsed() - lastSafePoint > 60) {
            partial(false, false);
            lastSafePoint = progress.elapsed();
        }
    };
    auto mine = [&](const std::string &location) {
        if (o.shardCount > 1 && Fnv1a(location) % o.shardCount != o.shardIndex) return false;
        return ++ordinal > already;  // finished by a run before
    };
    const qfhost::NestLimits limits;
    HostWalk walk(
        o.out,
        [&](size_t root, const fs::path &file, const std::string &location) {
            if (mine(location)) finish(scan::ScanUnit(file, root, location, limits));
        },
        [&](size_t root, const std::string &location, const std::string &reason) {
            if (!mine(location)) return;
            UnitFinds unit;
            unit.root = root, unit.unit = location;
            unit.damage.push_back({location, reason});
            finish(std::move(unit));
        },
        progress);
    for (size_t r = 0; r < roots.size() && !interrupted; ++r) walk.root(r, roots[r]);
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    progress.update(containers, finds.movies(), true);
    progress.end();
    if (interrupted) {
        partial(false, false);
        std::fprintf(stderr, "quillframer: scan interrupted; the same command again finishes it\n");
        std::fflush(stderr);
        std::_Exit(130);
    }
    if (!state.finished()) state.append({{"done", true}});
    partial(true, true);
    WriteGallery(dir);
    if (!context.quiet) std::fprintf(stderr, "quillframer: scan: %s\n", (dir / "catalogue.jsonl").c_str());
}

// Every shard's finds, read from its state: all N must be there and finished.
void RunMerge(const Context &context, const ScanCommand &o)
{
    const fs::path dir = o.merge;
    const std::regex name("shard-([0-9]+)-of-([0-9]+)");
    std::map<unsigned, fs::path> shards;
    unsigned count = 0;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::smatch m;
        const std::string n = it->path().filename().string();
        if (!std::regex_match(n, m, name)) continue;
        const unsigned c = unsigned(std::stoul(m[2]));
        if (count && c != count)
            throw ToolError(dir.string() + " holds shards of " + std::to_string(count) + " and of " +
                            std::to_string(c));
        count = c;
        shards[unsigned(std::stoul(m[1]))] = it->path();
    }
    if (shards.empty()) throw ToolError(dir.string() + " holds no shard-I-of-N folder to merge");
    Finds finds;
    std::vector<fs::path> roots;
    scan::CatalogueOptions options = CatalogueOptionsOf(o, {});
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < count; ++i) {
        auto shard = shards.find(i);
        if (shard == shards.end())
            throw ToolError("shard " + std::to_string(i) + " of " + std::to_string(count) + " is missing in " +
                            dir.string());
        std::ifstream in(shard->second / ".scan" / "state.jsonl");
        std::string line;
        bool first = true, done = false;
        while (std::getline(in, line)) {
            nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
            if (j.is_discarded()) break;
            if (first) {
                std::vector<fs::path> r;
                for (const auto &p : j.at("roots")) r.emplace_back(p.get<std::string>());
                if (!roots.empty() && r != roots)
                    throw ToolError(shard->second.string() + " scanned other paths than shard 0");
                roots = r;
                first = false;
            } else if (j.contains("done")) {
                done = true;
            } else {
                finds.add(scan::UnitFromJson(j));
            }
        }
        if (!done) throw ToolError(shard->second.string() + " is not finished: run its scan again first");
        options.mediaFrom.push_back(shard->second);
    }
    options.roots = roots;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    scan::WriteCatalogue(context, dir, finds.all(), options, {seconds, true});
    WriteGallery(dir);
    if (!context.quiet) std::fprintf(stderr, "quillframer: scan: %s\n", (dir / "catalogue.jsonl").c_str());
}

}  // namespace

void RegisterScan(CLI::App &app, Context &context)
{
    auto o = std::make_shared<ScanCommand>();
    CLI::App *command = app.add_subcommand(
        "scan", "Find every movie in folders, disk images and archives (nested too), by content, and write\n"
                "DIR/catalogue.jsonl: one line per distinct movie with all its locations, its size, length and\n"
                "scenes and where its files were found (a volume it names is looked for among all disks scanned,\n"
                "by label), one line per container that could not be read, and a summary. A poster and a contact\n"
                "sheet per movie go into DIR/media. Interrupted, the same command again finishes what is missing.\n"
                "docs/collections.md describes the catalogue, sharding and resuming.");
    command->add_option("PATH", o->paths, "The folders, disk images and archives to scan");
    command->add_option("-o,--output", o->out, "The folder for the catalogue, its media and its state")
        ->type_name("DIR");
    command->add_option("--merge", o->merge, "Join DIR/shard-I-of-N/ (every shard finished) into DIR/catalogue.jsonl")
        ->type_name("DIR");
    command->add_option("--export", o->video, "A video of each movie too, into DIR/media")
        ->type_name("mp4|webm|gif")
        ->check(CLI::IsMember({"mp4", "webm", "gif"}));
    command->add_flag("--csv", o->csv, "Write DIR/catalogue.csv too, one row per movie");
    command
        ->add_option(
            "--shard", o->shard,
            "Scan only share I of N of the top-level files (I from 0), into DIR/shard-I-of-N; --merge joins them")
        ->type_name("I/N");
    AddJobsOption(*command, o->jobs);
    AddMovieOptions(*command, context);
    command->callback([&context, o] {
        if (!o->shard.empty()) {
            unsigned i = 0, n = 0;
            char rest = 0;
            if (std::sscanf(o->shard.c_str(), "%u/%u%c", &i, &n, &rest) != 2 || n == 0 || i >= n)
                throw BadUsage("--shard wants I/N with 0 <= I < N, such as 0/4, not \"" + o->shard + "\"");
            o->shardIndex = i, o->shardCount = n;
        }
        if (!o->merge.empty()) {
            if (!o->paths.empty() || !o->shard.empty()) throw BadUsage("--merge takes no PATH and no --shard");
            return RunMerge(context, *o);
        }
        RunScan(context, *o);
    });
}

}  // namespace qftools
