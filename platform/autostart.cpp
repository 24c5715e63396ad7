#include "platform/autostart.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>

#include "platform/user_files.h"

namespace qx {
namespace {

std::string AutostartDirectory() {
    return XdgBaseDirectory("XDG_CONFIG_HOME", "/.config") + "/autostart";
}

// "Halvorn QX Manager" -> "halvorn-qx-manager.desktop": a name safe in any file system.
std::string EntryPath(const std::string& valueName) {
    std::string name;
    for (char c : valueName) {
        if (c >= 'A' && c <= 'Z')
            name += static_cast<char>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_')
            name += c;
        else if (!name.empty() && name.back() != '-')
            name += '-';
    }
    if (name.empty() || name.front() == '.') name.insert(0, "entry");
    return AutostartDirectory() + "/" + name + ".desktop";
}

// The value of a key in a desktop file: backslashes and control characters escaped.
std::string KeyFileValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

// The command is this program's path followed by its arguments; the path may hold spaces, so
// it is quoted on its own.
std::string ExecLine(const std::string& command) {
    const std::string program = ProgramPath();
    const bool startsWithProgram =
        !program.empty() && command.compare(0, program.size(), program) == 0 &&
        (command.size() == program.size() || command[program.size()] == ' ');
    if (!startsWithProgram) return command;
    return QuoteExecArgument(program) + command.substr(program.size());
}

}  // namespace

bool QueryAutostart(const std::string& valueName) {
    std::ifstream entry(EntryPath(valueName));
    if (!entry) return false;
    // A desktop may switch an entry off by marking it hidden instead of deleting it.
    for (std::string line; std::getline(entry, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
    }
    return true;
}

Expected<void> WriteAutostart(const std::string& command, const std::string& valueName, bool set) {
    const std::string path = EntryPath(valueName);
    if (!set) {
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
        return Error::FromErrno(errno, "removing " + path);
    }
    const std::string text =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=" +
        KeyFileValue(valueName) +
        "\n"
        "Exec=" +
        KeyFileValue(ExecLine(command)) +
        "\n"
        // The installed icon theme's name, as the program's menu entry has it.
        "Icon=qx-manager\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    const std::string directory = path.substr(0, path.rfind('/'));
    if (!MakeDirectories(directory)) return Error::FromErrno(errno, "creating " + directory);
    if (!ReplaceFile(path, text, 0644)) return Error::FromErrno(errno, "writing " + path);
    return {};
}

std::string QuoteExecArgument(const std::string& argument) {
    const bool plain = argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`") == std::string::npos;
    std::string out = plain ? "" : "\"";
    for (char c : argument) {
        if (c == '%')
            out += '%';  // "%" starts a field code
        else if (!plain && (c == '"' || c == '`' || c == '$' || c == '\\'))
            out += '\\';
        out += c;
    }
    return plain ? out : out + "\"";
}

std::string ProgramPath() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

Expected<void> WriteProgramAutostart(bool set) {
    return WriteAutostart(ProgramPath() + " -m", kRunValueName, set);
}

}  // namespace qx
