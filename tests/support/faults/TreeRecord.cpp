// zep_tree: records a folder tree (each object's relative path, type, mode, owner, size, SHA-1 of its
// content and link target) and compares two records, for the crash tests that need a tree back exactly.
//
//   zep_tree record DIR [--xattrs]      prints the record of DIR, one object a line, sorted by path
//   zep_tree compare A B [--xattrs]     A and B each a record file or a folder; prints the differences
//                                       ("only in A: path" with A as given, "path: mode 0644 -> 0600",
//                                       ...); exit code 0 when equal, 1 when they differ, 2 on an error
//
// A line: path, type (f d l p s c b), mode (octal), uid, gid, size (files and links; "-" for others),
// SHA-1 of a file's content ("-" for others), link target ("-" for others), separated by tabs; with
// --xattrs a ninth field lists each extended attribute as name=SHA-1 of its value, ','-separated. The
// folder itself is ".". Paths and targets escape backslash, tab, newline and other control bytes.
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

struct Failure {
    std::string what;
};

std::string Escape(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Hex(const unsigned char* data, unsigned size) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += {kHex[data[i] >> 4], kHex[data[i] & 15]};
    }
    return out;
}

class Sha1 {
public:
    Sha1() : context_(EVP_MD_CTX_new()) {
        if (!context_ || EVP_DigestInit_ex(context_, EVP_sha1(), nullptr) != 1) {
            throw Failure{"SHA-1 unavailable"};
        }
    }
    ~Sha1() { EVP_MD_CTX_free(context_); }
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;

    void Add(const void* data, std::size_t size) { EVP_DigestUpdate(context_, data, size); }
    std::string Text() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned size = 0;
        EVP_DigestFinal_ex(context_, digest, &size);
        return Hex(digest, size);
    }

private:
    EVP_MD_CTX* context_;
};

std::string FileSha1(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        throw Failure{"cannot read " + path + ": " + std::strerror(errno)};
    }
    Sha1 sha1;
    char buffer[1 << 16];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        sha1.Add(buffer, static_cast<std::size_t>(n));
    }
    const int error = errno;
    close(fd);
    if (n < 0) {
        throw Failure{"cannot read " + path + ": " + std::strerror(error)};
    }
    return sha1.Text();
}

std::string Xattrs(const std::string& path) {
    std::vector<char> names(
        static_cast<std::size_t>(std::max<ssize_t>(llistxattr(path.c_str(), nullptr, 0), 0)));
    const ssize_t length = names.empty() ? 0 : llistxattr(path.c_str(), names.data(), names.size());
    if (length < 0) {
        throw Failure{"cannot list attributes of " + path + ": " + std::strerror(errno)};
    }
    std::vector<std::string> sorted;
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names.data() + at)) + 1) {
        sorted.emplace_back(names.data() + at);
    }
    std::sort(sorted.begin(), sorted.end());
    std::string out;
    for (const std::string& name : sorted) {
        std::vector<char> value(static_cast<std::size_t>(
            std::max<ssize_t>(lgetxattr(path.c_str(), name.c_str(), nullptr, 0), 0)));
        const ssize_t size = value.empty()
                                 ? lgetxattr(path.c_str(), name.c_str(), nullptr, 0)
                                 : lgetxattr(path.c_str(), name.c_str(), value.data(), value.size());
        if (size < 0) {
            throw Failure{"cannot read attribute " + name + " of " + path + ": " + std::strerror(errno)};
        }
        Sha1 sha1;
        sha1.Add(value.data(), static_cast<std::size_t>(size));
        // Appended piece by piece: GCC 12 at -O3 misreads a chain of temporaries here (-Wrestrict).
        if (!out.empty()) {
            out += ',';
        }
        out += Escape(name);
        out += '=';
        out += sha1.Text();
    }
    return out.empty() ? "-" : out;
}

char TypeLetter(mode_t mode) {
    return S_ISREG(mode)    ? 'f'
           : S_ISDIR(mode)  ? 'd'
           : S_ISLNK(mode)  ? 'l'
           : S_ISFIFO(mode) ? 'p'
           : S_ISSOCK(mode) ? 's'
           : S_ISCHR(mode)  ? 'c'
                            : 'b';
}

// The record: escaped path to the rest of its line.
using Record = std::map<std::string, std::string>;

void RecordObject(const std::string& root, const std::string& relative, bool xattrs, Record& record) {
    const std::string path = relative == "." ? root : root + "/" + relative;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        throw Failure{"cannot read " + path + ": " + std::strerror(errno)};
    }
    std::ostringstream line;
    line << TypeLetter(status.st_mode) << '\t';
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    line << mode << '\t' << status.st_uid << '\t' << status.st_gid << '\t';
    if (S_ISREG(status.st_mode)) {
        line << status.st_size << '\t' << FileSha1(path) << "\t-";
    } else if (S_ISLNK(status.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(status.st_size) + 1);
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length < 0) {
            throw Failure{"cannot read link " + path + ": " + std::strerror(errno)};
        }
        line << length << "\t-\t" << Escape(std::string(target.data(), static_cast<std::size_t>(length)));
    } else {
        line << "-\t-\t-";
    }
    if (xattrs) {
        line << '\t' << Xattrs(path);
    }
    record[Escape(relative)] = line.str();

    if (S_ISDIR(status.st_mode)) {
        DIR* folder = opendir(path.c_str());
        if (!folder) {
            throw Failure{"cannot list " + path + ": " + std::strerror(errno)};
        }
        std::vector<std::string> names;
        while (const dirent* entry = readdir(folder)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
        closedir(folder);
        for (const std::string& name : names) {
            RecordObject(root, relative == "." ? name : relative + "/" + name, xattrs, record);
        }
    }
}

Record RecordTree(const std::string& root, bool xattrs) {
    struct stat status;
    if (lstat(root.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        throw Failure{root + " is not a folder"};
    }
    Record record;
    RecordObject(root, ".", xattrs, record);
    return record;
}

Record ReadRecord(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw Failure{"cannot read " + file};
    }
    Record record;
    for (std::string line; std::getline(in, line);) {
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            throw Failure{file + " is not a tree record"};
        }
        record[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return record;
}

Record Load(const std::string& what, bool xattrs) {
    struct stat status;
    return stat(what.c_str(), &status) == 0 && S_ISDIR(status.st_mode) ? RecordTree(what, xattrs)
                                                                       : ReadRecord(what);
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) {
        fields.push_back(field);
    }
    fields.resize(8, "-");
    return fields;
}

// Prints what differs between a and b (named aName and bName), one line each; returns whether anything
// does.
bool Compare(const Record& a, const std::string& aName, const Record& b, const std::string& bName) {
    static const char* const kNames[] = {"type", "mode",         "uid",         "gid",
                                         "size", "content sha1", "link target", "xattrs"};
    bool differ = false;
    for (const auto& [path, line] : a) {
        const auto other = b.find(path);
        if (other == b.end()) {
            std::cout << "only in " << aName << ": " << path << '\n';
            differ = true;
            continue;
        }
        const std::vector<std::string> left = Fields(line);
        const std::vector<std::string> right = Fields(other->second);
        for (std::size_t i = 0; i < left.size(); ++i) {
            if (left[i] != right[i]) {
                std::cout << path << ": " << kNames[i] << ' ' << left[i] << " -> " << right[i] << '\n';
                differ = true;
            }
        }
    }
    for (const auto& entry : b) {
        if (!a.count(entry.first)) {
            std::cout << "only in " << bName << ": " << entry.first << '\n';
            differ = true;
        }
    }
    return differ;
}

int Usage() {
    std::cerr << "usage: zep_tree record DIR [--xattrs] | zep_tree compare A B [--xattrs]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    const auto xattrs = std::find(arguments.begin(), arguments.end(), "--xattrs");
    const bool withXattrs = xattrs != arguments.end();
    if (withXattrs) {
        arguments.erase(xattrs);
    }
    try {
        if (arguments.size() == 2 && arguments[0] == "record") {
            for (const auto& [path, line] : RecordTree(arguments[1], withXattrs)) {
                std::cout << path << '\t' << line << '\n';
            }
            return std::cout.flush() ? 0 : 2;
        }
        if (arguments.size() == 3 && arguments[0] == "compare") {
            return Compare(Load(arguments[1], withXattrs), arguments[1], Load(arguments[2], withXattrs),
                           arguments[2])
                       ? 1
                       : 0;
        }
    } catch (const Failure& failure) {
        std::cerr << "zep_tree: " << failure.what << '\n';
        return 2;
    }
    return Usage();
}
