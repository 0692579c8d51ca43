// Windows: cmd.exe through _popen, the seed given from a temporary file and standard error collected in
// another.
#include <stdio.h>
#include <windows.h>

#include <fstream>
#include <iterator>

#include "key_command.h"

namespace doip_tools {
namespace {

std::string temporary_file() {
    char directory[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    if (GetTempPathA(sizeof directory, directory) == 0 || GetTempFileNameA(directory, "key", 0, path) == 0) {
        return std::string();
    }
    return path;
}

}  // namespace

bool run_key_command(const std::string& command, const std::string& input, KeyCommandRun* run,
                     std::string* error) {
    const std::string in_path = temporary_file();
    const std::string err_path = temporary_file();
    if (in_path.empty() || err_path.empty()) {
        *error = "cannot make a temporary file for the key command";
        return false;
    }
    {
        std::ofstream in(in_path, std::ios::binary);
        in << input;
    }
    FILE* pipe = _popen(("(" + command + ") < \"" + in_path + "\" 2> \"" + err_path + "\"").c_str(), "rb");
    if (pipe == nullptr) {
        DeleteFileA(in_path.c_str());
        DeleteFileA(err_path.c_str());
        *error = "cannot start the command interpreter";
        return false;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        run->out.append(buffer, n);
    }
    run->exit_status = _pclose(pipe);
    {
        std::ifstream err(err_path, std::ios::binary);
        run->err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    }
    DeleteFileA(in_path.c_str());
    DeleteFileA(err_path.c_str());
    return true;
}

}  // namespace doip_tools
