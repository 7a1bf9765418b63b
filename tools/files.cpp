#include "tools/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "tools/tool.h"

namespace ne2k_tool {

std::string input_name(const std::string& path) { return path == "-" ? "standard input" : path; }
std::string output_name(const std::string& path) { return path == "-" ? "standard output" : path; }

namespace {

// What a file is: its device and inode when it exists, else the folder it
// would be made in and its name. None for character devices (/dev/null,
// a terminal): writing one destroys nothing.
struct Identity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    std::string where;
    bool operator==(const Identity& o) const {
        return exists == o.exists && (exists ? dev == o.dev && ino == o.ino : where == o.where);
    }
};

std::optional<Identity> of_stat(const struct stat& st) {
    if (S_ISCHR(st.st_mode)) return std::nullopt;
    Identity id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return id;
}

std::optional<Identity> of_fd(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return of_stat(st);
}

std::optional<Identity> of_path(const std::string& path, int dash_fd) {
    if (path.empty()) return std::nullopt;
    if (path == "-") return of_fd(dash_fd);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return of_stat(st);
    std::error_code ec;
    Identity id;
    id.where = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec).string();
    if (ec) return std::nullopt;
    return id;
}

struct Named {
    std::string name;  // "-w out.pcap", "standard output"
    std::optional<Identity> id;
};

}  // namespace

void refuse_overlaps(const std::string& input, const std::vector<OutputPath>& outputs, TextStreams text_on) {
    const std::optional<Identity> in = of_path(input, STDIN_FILENO);
    const std::string in_text = " is the input (" + input_name(input) +
                                "): writing it would destroy the capture; write to another file";
    std::vector<Named> files;
    for (const OutputPath& o : outputs)
        files.push_back({o.path == "-" ? std::string("standard output") : o.option + " " + o.path,
                         of_path(o.path, STDOUT_FILENO)});
    for (std::size_t i = 0; i < files.size(); i++) {
        if (!files[i].id) continue;
        if (in && *files[i].id == *in) throw UsageError(files[i].name + in_text);
        for (std::size_t k = 0; k < i; k++)
            if (files[k].id && *files[k].id == *files[i].id)
                throw UsageError(files[i].name + " is the same file as " + files[k].name +
                                 ": give each output a file of its own");
    }
    // The streams the command writes text to, when they are files: neither
    // the input nor an output (the two streams may share a file).
    const std::pair<bool, int> streams[] = {{text_on.out, STDOUT_FILENO}, {text_on.err, STDERR_FILENO}};
    for (auto [used, fd] : streams) {
        if (!used) continue;
        std::optional<Identity> id = of_fd(fd);
        if (!id) continue;
        const std::string name = fd == STDOUT_FILENO ? "standard output" : "standard error";
        if (in && *id == *in) throw UsageError(name + in_text);
        for (const Named& f : files)
            if (f.id && *f.id == *id && f.name != name)
                throw UsageError(name + " is the same file as " + f.name + ": give each output a file of its own");
    }
}

TextFile::TextFile(const std::string& path, std::string what) : path_(path), what_(std::move(what)) {
    errno = 0;
    out_.open(path, std::ios::binary | std::ios::trunc);
    if (!out_)
        throw RunError(path + ": cannot be written (" + std::strerror(errno ? errno : EIO) +
                       "); check that the folder exists and is writable");
}

bool TextFile::check() {
    if (!error_.empty()) return false;
    if (out_) return true;
    error_ = path_ + ": writing " + what_ + " failed (" + std::strerror(errno ? errno : EIO) + ")";
    return false;
}

void TextFile::close() {
    if (!out_.is_open()) return;
    if (error_.empty()) {
        errno = 0;
        out_.flush();
        check();
    }
    out_.close();
    if (error_.empty() && out_.fail()) error_ = path_ + ": writing " + what_ + " failed (closing the file)";
}

}  // namespace ne2k_tool
