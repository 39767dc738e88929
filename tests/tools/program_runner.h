// Runs the kuv tool and the example programs as a user would: a child
// process with its own standard input, output and error, every wait bounded.
#ifndef KUV_TESTS_TOOLS_PROGRAM_RUNNER_H
#define KUV_TESTS_TOOLS_PROGRAM_RUNNER_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace kuv_tool_test {

struct Outcome {
    int exit_code = -1;  // -1: killed (time-out) or not started
    std::string out;
    std::string err;
};

// Runs arguments[0] (a path) with the arguments, feeding input on standard
// input; kills it after timeout_ms.
Outcome run_program(const std::vector<std::string> &arguments, const std::string &input = "",
                    int timeout_ms = 30000);

// A program left running while the test talks to it (a server). Its output
// is collected as it comes; the destructor ends it (SIGTERM, then SIGKILL).
class RunningProgram {
  public:
    explicit RunningProgram(const std::vector<std::string> &arguments);
    ~RunningProgram();
    RunningProgram(const RunningProgram &) = delete;
    RunningProgram &operator=(const RunningProgram &) = delete;

    bool started() const { return pid_ > 0; }
    // Reads output until standard output holds text, for at most timeout_ms;
    // true when it does.
    bool wait_for_output(const std::string &text, int timeout_ms = 10000);
    // Waits for the program to end by itself (at most timeout_ms, then it is
    // killed) and returns what it wrote and its exit code.
    Outcome finish(int timeout_ms = 10000);
    // Asks the program to stop (SIGTERM) and then finishes it.
    Outcome stop(int timeout_ms = 10000);
    const std::string &out() const { return outcome_.out; }

  private:
    void read_available(int timeout_ms);
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    Outcome outcome_;
};

// Directory of a fresh temporary tree, removed with remove_tree.
std::string make_temp_dir(const char *stem);
void remove_tree(const std::string &path);
bool write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);

// Lines of text that contain needle.
int count_lines_with(const std::string &text, const std::string &needle);

// A TCP port of 127.0.0.1 that nothing listens on (bound a moment ago and
// released).
int closed_loopback_port();

}  // namespace kuv_tool_test

#endif  // KUV_TESTS_TOOLS_PROGRAM_RUNNER_H
