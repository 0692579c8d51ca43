// Windows: cmd.exe /c with standard input, output and error on temporary files (no pipe to keep drained),
// stopped when it runs over the time limit.
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <fstream>
#include <vector>

#include "key_command.h"

namespace doip_tools {
namespace {

constexpr size_t kMostOutput = 64 * 1024;  // bytes kept of each of standard output and error

std::string temporary_file() {
    char directory[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    if (GetTempPathA(sizeof directory, directory) == 0 || GetTempFileNameA(directory, "key", 0, path) == 0) {
        return std::string();
    }
    return path;
}

// At most kMostOutput bytes of the file, which is then removed.
std::string take_file(const std::string& path) {
    std::string text(kMostOutput, '\0');
    {
        std::ifstream in(path, std::ios::binary);
        in.read(&text[0], static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    }
    DeleteFileA(path.c_str());
    return text;
}

}  // namespace

// The three files as the program's standard handles; only they are inherited (a socket of the tester, which
// Windows makes inheritable, must not stay open in the program).
bool run_key_command(const std::string& command, const std::string& input, KeyCommandRun* run,
                     std::string* error) {
    const std::string in_path = temporary_file();
    const std::string out_path = temporary_file();
    const std::string err_path = temporary_file();
    const auto remove_files = [&] {
        for (const std::string* path : {&in_path, &out_path, &err_path}) {
            if (!path->empty()) {
                DeleteFileA(path->c_str());
            }
        }
    };
    if (in_path.empty() || out_path.empty() || err_path.empty()) {
        remove_files();
        *error = "cannot make a temporary file for the key command";
        return false;
    }
    {
        std::ofstream in(in_path, std::ios::binary);
        in << input;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE files[3] = {
        CreateFileA(in_path.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr),
        CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr),
        CreateFileA(err_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr)};
    const auto close_files = [&] {
        for (HANDLE& h : files) {
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
                h = INVALID_HANDLE_VALUE;
            }
        }
    };
    SIZE_T list_size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
    std::vector<char> list_memory(list_size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
    const bool files_open =
        std::none_of(std::begin(files), std::end(files), [](HANDLE h) { return h == INVALID_HANDLE_VALUE; });
    if (!files_open || !InitializeProcThreadAttributeList(list, 1, 0, &list_size)) {
        close_files();
        remove_files();
        *error = "cannot open the key command's files (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, files, sizeof files, nullptr,
                              nullptr);
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = files[0];
    startup.StartupInfo.hStdOutput = files[1];
    startup.StartupInfo.hStdError = files[2];
    startup.lpAttributeList = list;
    std::string line = "cmd.exe /d /c " + command;
    std::vector<char> writable(line.begin(), line.end());
    writable.push_back('\0');
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(nullptr, writable.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                        &startup.StartupInfo, &process);
    const DWORD start_error = GetLastError();
    DeleteProcThreadAttributeList(list);
    close_files();
    if (!started) {
        remove_files();
        *error = "cannot start cmd.exe (error " + std::to_string(start_error) + ")";
        return false;
    }
    CloseHandle(process.hThread);
    DWORD status = 0;
    if (WaitForSingleObject(process.hProcess, kKeyCommandLimitMs) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(process.hProcess, &status)) {
        run->exit_status = static_cast<int>(status);
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        run->exit_status = -1;
    }
    CloseHandle(process.hProcess);
    DeleteFileA(in_path.c_str());
    run->out = take_file(out_path);
    run->err = take_file(err_path);
    return true;
}

}  // namespace doip_tools
