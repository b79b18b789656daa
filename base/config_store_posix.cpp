// File backend of the configuration store; format described in
// config_file.h. "Vidrelo.ini" itself is read with inih.
#include "base/config_file.h"

#include "base/config.h"

#include <ini.h>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace talvik {

namespace {

bool SameName(const std::string& a, const std::string& b)
{
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Whether the section `section` holds the values of registry key `key`: its
// own section, or for the product's key also the plain one.
bool HoldsKey(const std::string& section, const std::string& key)
{
    return SameName(section, key) || (SameName(key, kProductKey) && SameName(section, kPlainSection));
}

// Where a new value of `key` goes: the plain section for the product's key.
std::string SectionFor(const std::string& key)
{
    return SameName(key, kProductKey) ? kPlainSection : key;
}

std::string Trim(const std::string& s)
{
    std::size_t begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos)
        return {};
    std::size_t end = s.find_last_not_of(" \t\r");
    return s.substr(begin, end - begin + 1);
}

std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// "[section]" -> section; anything else -> nothing.
std::optional<std::string> SectionOf(const std::string& line)
{
    std::string t = Trim(line);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']')
        return t.substr(1, t.size() - 2);
    return std::nullopt;
}

bool IsComment(const std::string& line)
{
    std::string t = Trim(line);
    return t.empty() || t[0] == '#' || t[0] == ';';
}

// "name=value" -> name; value through `value`.
std::optional<std::string> EntryOf(const std::string& line, std::string* value)
{
    if (IsComment(line) || SectionOf(line))
        return std::nullopt;
    std::size_t eq = line.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    if (value)
        *value = Trim(line.substr(eq + 1));
    return Trim(line.substr(0, eq));
}

std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text)
{
    if (text.rfind("hex:", 0) != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    std::istringstream in(text.substr(4));
    for (std::string item; std::getline(in, item, ',');) {
        item = Trim(item);
        char* end = nullptr;
        unsigned long v = std::strtoul(item.c_str(), &end, 16);
        if (item.empty() || item.size() > 2 || *end != '\0' || v > 0xff)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(v));
    }
    return bytes;
}

std::string FormatHex(const std::vector<std::uint8_t>& bytes)
{
    std::string text = "hex:";
    char item[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(item, sizeof item, "%02x", bytes[i]);
        if (i)
            text += ',';
        text += item;
    }
    return text;
}

bool MakeDirectories(const std::string& dir)
{
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            std::string part = dir.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

struct IniLookup {
    const std::string* section;
    const std::string* key;
    std::optional<std::string> value;
};

int OnIniEntry(void* user, const char* section, const char* name, const char* value)
{
    auto* lookup = static_cast<IniLookup*>(user);
    if (strcasecmp(section, lookup->section->c_str()) == 0 && strcasecmp(name, lookup->key->c_str()) == 0)
        lookup->value = value;
    return 1;
}

} // namespace

std::string HomeDirectory()
{
    const char* home = std::getenv("HOME");
    return home && *home ? home : ".";
}

std::string ConfigDirectory()
{
    if (const char* dir = std::getenv("TALVIK_CONFIG_DIR"); dir && *dir)
        return dir;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::string(xdg) + "/talvik";
    return HomeDirectory() + "/.config/talvik";
}

std::string FallbackDirectory(InstallFile kind)
{
    switch (kind) {
    case InstallFile::kSettings:
        return ConfigDirectory() + "/";
    case InstallFile::kLog:
        if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
            return std::string(state) + "/talvik/";
        return HomeDirectory() + "/.local/state/talvik/";
    case InstallFile::kProgram:
    case InstallFile::kData:
        break;
    }
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
        return {};
    std::string executable(buffer, static_cast<std::size_t>(length));
    const std::string programs = executable.substr(0, executable.rfind('/') + 1);
    if (kind == InstallFile::kData) {
        const std::string shared = programs + "../share/talvik/";
        struct stat info {};
        if (stat(shared.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return shared;
    }
    return programs;
}

ConfigFileStore::ConfigFileStore(std::string path) : path_(std::move(path)) {}

std::optional<std::string> ConfigFileStore::ReadRaw(const std::string& key, const std::string& name)
{
    bool inKey = false;
    std::optional<std::string> found;
    for (const std::string& line : ReadLines(path_)) {
        if (std::optional<std::string> section = SectionOf(line)) {
            inKey = HoldsKey(*section, key);
            continue;
        }
        std::string value;
        std::optional<std::string> entry = EntryOf(line, &value);
        if (inKey && entry && SameName(*entry, name))
            found = value;
    }
    return found;
}

std::optional<std::string> ConfigFileStore::ReadString(const std::string& key, const std::string& name,
                                                       std::size_t bufferBytes)
{
    std::optional<std::string> value = ReadRaw(key, name);
    // Same bound as the registry read: the text and its terminator must fit.
    if (!value || value->size() + 1 > bufferBytes)
        return std::nullopt;
    return value;
}

std::optional<std::vector<std::uint8_t>> ConfigFileStore::ReadBinary(const std::string& key, const std::string& name)
{
    std::optional<std::string> value = ReadRaw(key, name);
    return value ? ParseHex(*value) : std::nullopt;
}

bool ConfigFileStore::WriteBinary(const std::string& key, const std::string& /*keyClass*/, const std::string& name,
                                  const std::vector<std::uint8_t>& bytes)
{
    std::vector<std::string> lines = ReadLines(path_);
    const std::string entry = name + "=" + FormatHex(bytes);

    // Replace the value wherever the key's sections hold it (so that no older
    // copy is read back), or append it to the last section that holds the
    // key, or append the section; everything else stays as the user wrote it.
    bool inKey = false, done = false;
    std::size_t sectionEnd = std::string::npos;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (std::optional<std::string> section = SectionOf(lines[i])) {
            inKey = HoldsKey(*section, key);
            if (inKey)
                sectionEnd = i + 1;
            continue;
        }
        if (!inKey)
            continue;
        std::optional<std::string> existing = EntryOf(lines[i], nullptr);
        if (existing && SameName(*existing, name)) {
            lines[i] = entry;
            done = true;
        } else if (!Trim(lines[i]).empty()) {
            sectionEnd = i + 1;
        }
    }
    if (!done && sectionEnd != std::string::npos) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), entry);
    } else if (!done) {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.emplace_back();
        lines.push_back("[" + SectionFor(key) + "]");
        lines.push_back(entry);
    }

    std::size_t slash = path_.rfind('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(path_.substr(0, slash)))
        return false;
    // Write a sibling and rename it over the file, so that a reader never
    // sees half a file and a failed write loses nothing.
    const std::string temp = path_ + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        for (const std::string& line : lines)
            out << line << '\n';
        out.flush();
        if (!out) {
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path_.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

int ConfigFileStore::ReadIniInt(const std::string& path, const std::string& section, const std::string& key,
                                int fallback)
{
    IniLookup lookup{&section, &key, std::nullopt};
    if (ini_parse(path.c_str(), OnIniEntry, &lookup) < 0 || !lookup.value || lookup.value->empty())
        return fallback;
    // Like the Windows lookup: the leading integer, 0 when there is none.
    long value = std::strtol(lookup.value->c_str(), nullptr, 10);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

ConfigStore& SystemConfigStore()
{
    static ConfigFileStore store(ConfigDirectory() + "/talvik.conf");
    return store;
}

} // namespace talvik
