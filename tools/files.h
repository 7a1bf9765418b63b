// The files a command reads and writes: checked against one another before
// any is opened for writing, and text outputs (the verdicts, a timeline)
// that keep the system's reason when a write fails.
#ifndef TOOLS_FILES_H
#define TOOLS_FILES_H

#include <fstream>
#include <string>
#include <vector>

namespace ne2k_tool {

// "-" as a file operand: "standard input" or "standard output"; other
// paths as given.
std::string input_name(const std::string& path);
std::string output_name(const std::string& path);

// A file a command writes: the option that names it ("-w") and its path
// ("-" is standard output).
struct OutputPath {
    std::string option;
    std::string path;
};

// Refuses (UsageError) an output that is the input or another output, and
// standard output or standard error when `text_on` says the command writes
// text there and that stream is the input or one of the outputs. Files are
// compared by what they are (device and inode, or the folder and name of
// one not made yet), so other spellings and links are caught; character
// devices such as /dev/null belong to no one and may be named twice.
// `input` "-" is standard input, "" none. Call it before anything is opened.
struct TextStreams {
    bool out = true;  // the summary (or --json) goes to standard output
    bool err = true;  // notes and errors go to standard error
};
void refuse_overlaps(const std::string& input, const std::vector<OutputPath>& outputs,
                     TextStreams text_on = {});

// A text output file. A file that cannot be made is a RunError naming it;
// after a write error nothing more is written and error() says what failed
// and why, in the system's words.
class TextFile {
public:
    // `what` names the contents in messages: "the verdicts", "the timeline".
    TextFile(const std::string& path, std::string what);
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    std::ostream& stream() { return out_; }
    // After writes: false once a write has failed (error() then says why).
    bool check();
    void close();  // flushes and closes; check error() afterwards
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

private:
    std::string path_, what_;
    std::ofstream out_;
    std::string error_;
};

}  // namespace ne2k_tool

#endif  // TOOLS_FILES_H
