// ManifestStream: one walk over the manifest XML, bailing out to the whole-document parser on anything
// outside the plain form it knows.
#include "upgrade/ManifestStream.h"

#include <memory>

namespace ZEPMaintenance {

namespace {

constexpr std::size_t kChunkSize = 64 * 1024;
// Manifests nest three deep; a deeper document is the whole-document parser's.
constexpr std::size_t kMaxDepth = 32;
constexpr std::size_t kSha1Digits = 40;
constexpr std::size_t kSha256Digits = 64;
constexpr std::size_t kMaxDeclaration = 128;

bool IsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n';
}

bool IsNameStart(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsNameChar(int c) {
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The bytes of the source one at a time, every one checked to be part of strict UTF-8 without NUL.
class Reader {
public:
    explicit Reader(ByteSource& source) : source_(source), buffer_(new uint8_t[kChunkSize]) {}

    int Peek() {
        if (position_ == length_ && !Fill()) {
            return -1;
        }
        return buffer_[position_];
    }
    int Next() {
        const int c = Peek();
        if (c >= 0) {
            ++position_;
            valid_ = valid_ && TakeUtf8(static_cast<uint8_t>(c));
        }
        return c;
    }
    bool Valid() const { return valid_; }
    bool Complete() const { return valid_ && pending_ == 0; }

private:
    bool Fill() {
        if (ended_) {
            return false;
        }
        length_ = source_.Read(buffer_.get(), kChunkSize);
        position_ = 0;
        ended_ = length_ == 0;
        return !ended_;
    }
    // Overlong forms, surrogates and values above U+10FFFF are not strict UTF-8.
    bool TakeUtf8(uint8_t byte) {
        if (pending_ != 0) {
            if (byte < low_ || byte > high_) {
                return false;
            }
            low_ = 0x80;
            high_ = 0xBF;
            --pending_;
            return true;
        }
        low_ = 0x80;
        high_ = 0xBF;
        if (byte == 0) {
            return false;
        }
        if (byte < 0x80) {
            return true;
        }
        if (byte >= 0xC2 && byte <= 0xDF) {
            pending_ = 1;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            pending_ = 2;
            low_ = byte == 0xE0 ? 0xA0 : 0x80;
            high_ = byte == 0xED ? 0x9F : 0xBF;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            pending_ = 3;
            low_ = byte == 0xF0 ? 0x90 : 0x80;
            high_ = byte == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        return true;
    }

    ByteSource& source_;
    std::unique_ptr<uint8_t[]> buffer_;
    std::size_t position_ = 0;
    std::size_t length_ = 0;
    bool ended_ = false;
    bool valid_ = true;
    int pending_ = 0;
    uint8_t low_ = 0x80;
    uint8_t high_ = 0xBF;
};

// Strict UTF-8 (checked as it was read) as wide text: UTF-32 where wchar_t holds it, UTF-16 otherwise.
std::wstring Wide(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        uint32_t value = lead;
        std::size_t more = 0;
        if (lead >= 0xF0) {
            value = lead & 0x07;
            more = 3;
        } else if (lead >= 0xE0) {
            value = lead & 0x0F;
            more = 2;
        } else if (lead >= 0xC0) {
            value = lead & 0x1F;
            more = 1;
        }
        for (std::size_t k = 1; k <= more && i + k < text.size(); ++k) {
            value = value << 6 | (static_cast<uint8_t>(text[i + k]) & 0x3F);
        }
        i += more + 1;
        if constexpr (sizeof(wchar_t) == 2) {
            if (value >= 0x10000) {
                value -= 0x10000;
                wide += static_cast<wchar_t>(0xD800 + (value >> 10));
                wide += static_cast<wchar_t>(0xDC00 + (value & 0x3FF));
                continue;
            }
        }
        wide += static_cast<wchar_t>(value);
    }
    return wide;
}

bool IsHexText(const std::string& text, std::size_t digits) {
    if (text.size() != digits) {
        return false;
    }
    for (const char c : text) {
        if (!IsHexDigit(c)) {
            return false;
        }
    }
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c | 0x20);
        }
    }
    return text;
}

enum class Role {
    None,
    Root,
    SetupFolder,
    PreUpgradeActions,
    DeleteFile,
    SetupFiles,
    SetupFile,
    UpgradeFiles,
    UpgradeFile,
    PostUpgradeActions,
    RunFile,
    RunAfterUpgrade,
};

bool TakesText(Role role) {
    return role == Role::SetupFolder || role == Role::DeleteFile || role == Role::SetupFile ||
           role == Role::UpgradeFile || role == Role::RunFile || role == Role::RunAfterUpgrade;
}

struct Frame {
    std::string name;
    Role role = Role::None;
    bool textTaken = false;
    std::string text;
    bool has[3] = {false, false, false};
    std::string values[3];
};

enum Slot { kVersion = 0, kHash = 0, kArgs = 1, kSha256 = 2 };

// What a document may make this reader keep besides the upgrade files: those lists are short in every
// manifest, and an unverified container must not make them long.
constexpr std::size_t kSmallListBudget = 1024 * 1024;
constexpr std::size_t kEntryCost = 160;

// The attributes each element is read for; the first of a name counts, as for the document parser.
int SlotOf(Role role, const std::string& attribute) {
    switch (role) {
    case Role::Root:
        return attribute == "version" ? kVersion : -1;
    case Role::SetupFile:
    case Role::UpgradeFile:
    case Role::RunFile:
        if (attribute == "hash" && role != Role::RunFile) {
            return kHash;
        }
        if (attribute == "args" && role != Role::UpgradeFile) {
            return kArgs;
        }
        return attribute == "sha256" ? kSha256 : -1;
    default:
        return -1;
    }
}

class Parser {
public:
    Parser(ByteSource& source, StreamedManifest& manifest) : in_(source), out_(manifest) {}

    bool Run() {
        if (in_.Peek() == 0xEF && !(Expect(0xEF) && Expect(0xBB) && Expect(0xBF))) {
            return false;
        }
        bool atStart = true;
        bool rootSeen = false;
        for (;;) {
            SkipSpace();
            const int c = in_.Next();
            if (c < 0) {
                break;
            }
            if (c != '<') {
                return false;
            }
            const int next = in_.Peek();
            if (next == '?') {
                if (!atStart || !Declaration()) {
                    return false;
                }
            } else if (next == '!') {
                in_.Next();
                if (!Comment()) {
                    return false;
                }
            } else if (IsNameStart(next) && !rootSeen) {
                if (!Element()) {
                    return false;
                }
                rootSeen = true;
            } else {
                return false;
            }
            atStart = false;
        }
        return rootSeen && in_.Complete();
    }

private:
    bool Expect(int c) { return in_.Next() == c; }

    void SkipSpace() {
        while (IsSpace(in_.Peek())) {
            in_.Next();
        }
    }

    // "<?xml" and a space, up to "?>": version 1.0, and UTF-8 where it names an encoding. Any other
    // declaration is the document parser's, which may read the text in another encoding.
    bool Declaration() {
        in_.Next();
        if (!(Expect('x') && Expect('m') && Expect('l') && IsSpace(in_.Peek()))) {
            return false;
        }
        std::string content;
        for (;;) {
            const int c = in_.Next();
            if (c < 0 || content.size() > kMaxDeclaration) {
                return false;
            }
            if (c == '>' && !content.empty() && content.back() == '?') {
                content.pop_back();
                break;
            }
            content += static_cast<char>(IsSpace(c) ? ' ' : (c >= 'A' && c <= 'Z' ? c | 0x20 : c));
        }
        std::string words;
        for (const char c : content) {
            if (c != ' ' || (!words.empty() && words.back() != ' ')) {
                words += c;
            }
        }
        if (!words.empty() && words.back() == ' ') {
            words.pop_back();
        }
        for (const char* allowed : {"version=\"1.0\"", "version='1.0'", "version=\"1.0\" encoding=\"utf-8\"",
                                    "version='1.0' encoding='utf-8'"}) {
            if (words == allowed) {
                return true;
            }
        }
        return false;
    }

    // After "<!": "--" and everything up to the first "-->".
    bool Comment() {
        if (!(Expect('-') && Expect('-'))) {
            return false;
        }
        int dashes = 0;
        for (;;) {
            const int c = in_.Next();
            if (c < 0) {
                return false;
            }
            if (c == '>' && dashes >= 2) {
                return true;
            }
            dashes = c == '-' ? dashes + 1 : 0;
        }
    }

    bool Name(std::string& name) {
        name.clear();
        if (!IsNameStart(in_.Peek())) {
            return false;
        }
        while (IsNameChar(in_.Peek())) {
            name += static_cast<char>(in_.Next());
        }
        return true;
    }

    // After "&": one of the five named entities, appended when kept.
    bool Entity(std::string* kept) {
        std::string name;
        for (int c = in_.Next(); c != ';'; c = in_.Next()) {
            if (c < 0 || name.size() == 4) {
                return false;
            }
            name += static_cast<char>(c);
        }
        char decoded = 0;
        if (name == "amp") {
            decoded = '&';
        } else if (name == "apos") {
            decoded = '\'';
        } else if (name == "gt") {
            decoded = '>';
        } else if (name == "lt") {
            decoded = '<';
        } else if (name == "quot") {
            decoded = '"';
        } else {
            return false;
        }
        if (kept != nullptr) {
            *kept += decoded;
        }
        return true;
    }

    Role RoleOf(const std::string& name) {
        if (stack_.empty()) {
            return name == "ZEP_UPGRADE" ? Role::Root : Role::None;
        }
        const Role parent = stack_.back().role;
        if (parent == Role::Root) {
            static constexpr struct {
                const char* name;
                Role role;
            } kLists[] = {{"SetupFolder", Role::SetupFolder},
                          {"PreUpgradeActions", Role::PreUpgradeActions},
                          {"SetupFiles", Role::SetupFiles},
                          {"UpgradeFiles", Role::UpgradeFiles},
                          {"PostUpgradeActions", Role::PostUpgradeActions},
                          {"RunAfterUpgrade", Role::RunAfterUpgrade}};
            for (std::size_t i = 0; i < std::size(kLists); ++i) {
                if (name == kLists[i].name) {
                    // Only the first element of each name is read.
                    if (seen_[i]) {
                        return Role::None;
                    }
                    seen_[i] = true;
                    return kLists[i].role;
                }
            }
            return Role::None;
        }
        if (parent == Role::PreUpgradeActions && name == "DeleteFile") {
            return Role::DeleteFile;
        }
        if (parent == Role::SetupFiles && name == "File") {
            return Role::SetupFile;
        }
        if (parent == Role::UpgradeFiles && name == "File") {
            return Role::UpgradeFile;
        }
        if (parent == Role::PostUpgradeActions && name == "RunFile") {
            return Role::RunFile;
        }
        return Role::None;
    }

    // After "<" with a name next: the start tag; closed at once when it ends in "/>".
    bool StartTag() {
        if (stack_.size() == kMaxDepth) {
            return false;
        }
        Frame frame;
        if (!Name(frame.name)) {
            return false;
        }
        frame.role = RoleOf(frame.name);
        if (stack_.empty() && frame.role != Role::Root) {
            return false;
        }
        stack_.push_back(std::move(frame));
        bool needSpace = true;
        std::string attribute;
        for (;;) {
            const int c = in_.Peek();
            if (c == '>') {
                in_.Next();
                return RootHasVersion();
            }
            if (c == '/') {
                in_.Next();
                return Expect('>') && RootHasVersion() && Close();
            }
            if (IsSpace(c)) {
                SkipSpace();
                needSpace = false;
                continue;
            }
            if (needSpace || !Name(attribute)) {
                return false;
            }
            SkipSpace();
            if (!Expect('=')) {
                return false;
            }
            SkipSpace();
            const int quote = in_.Next();
            if (quote != '"' && quote != '\'') {
                return false;
            }
            Frame& top = stack_.back();
            const int slot = SlotOf(top.role, attribute);
            std::string* kept = nullptr;
            if (slot >= 0 && !top.has[slot]) {
                top.has[slot] = true;
                kept = &top.values[slot];
            }
            if (!AttributeValue(quote, kept)) {
                return false;
            }
            needSpace = true;
        }
    }

    bool RootHasVersion() const { return stack_.back().role != Role::Root || stack_.back().has[kVersion]; }

    // Tabs and line feeds read as spaces, as the document parser converts them.
    bool AttributeValue(int quote, std::string* kept) {
        for (;;) {
            int c = in_.Next();
            if (c == quote) {
                return true;
            }
            if (c < 0 || c == '<' || c == '\r') {
                return false;
            }
            if (c == '&') {
                if (!Entity(kept)) {
                    return false;
                }
                continue;
            }
            if (c == '\t' || c == '\n') {
                c = ' ';
            }
            if (kept != nullptr) {
                *kept += static_cast<char>(c);
            }
        }
    }

    // A text node of the open element: only the first counts, and only for an element read for its text.
    std::string* TextSlot() {
        Frame& top = stack_.back();
        return TakesText(top.role) && !top.textTaken ? &top.text : nullptr;
    }

    // Characters up to the next "<"; a run of white space alone is no text node.
    bool Text() {
        std::string* slot = TextSlot();
        std::string run;
        bool blank = true;
        for (int c = in_.Peek(); c != '<'; c = in_.Peek()) {
            if (c < 0 || c == '\r') {
                return false;
            }
            in_.Next();
            if (c == '&') {
                blank = false;
                if (!Entity(slot != nullptr ? &run : nullptr)) {
                    return false;
                }
                continue;
            }
            blank = blank && IsSpace(c);
            if (slot != nullptr) {
                run += static_cast<char>(c);
            }
        }
        if (!blank && slot != nullptr) {
            *slot = std::move(run);
            stack_.back().textTaken = true;
        }
        return true;
    }

    // After "<![": "CDATA[" and everything up to "]]>", always a text node.
    bool CData() {
        for (const char c : std::string("CDATA[")) {
            if (!Expect(c)) {
                return false;
            }
        }
        std::string* slot = TextSlot();
        std::string content;
        for (;;) {
            const int c = in_.Next();
            if (c < 0 || c == '\r') {
                return false;
            }
            content += static_cast<char>(c);
            const std::size_t n = content.size();
            if (n >= 3 && content.compare(n - 3, 3, "]]>") == 0) {
                content.resize(n - 3);
                break;
            }
            // Only what is kept, and the tail that may begin the end, is held.
            if (slot == nullptr && n > 3) {
                content.erase(0, n - 3);
            }
        }
        if (slot != nullptr) {
            *slot = std::move(content);
            stack_.back().textTaken = true;
        }
        return true;
    }

    // After "<": the root element and everything in it.
    bool Element() {
        if (!StartTag()) {
            return false;
        }
        while (!stack_.empty()) {
            if (!in_.Valid() || !Text()) {
                return false;
            }
            in_.Next();
            const int c = in_.Peek();
            if (c == '/') {
                in_.Next();
                std::string name;
                if (!Name(name)) {
                    return false;
                }
                SkipSpace();
                if (!Expect('>') || name != stack_.back().name || !Close()) {
                    return false;
                }
            } else if (c == '!') {
                in_.Next();
                if (in_.Peek() == '[') {
                    in_.Next();
                    if (!CData()) {
                        return false;
                    }
                } else if (!Comment()) {
                    return false;
                }
            } else if (!IsNameStart(c) || !StartTag()) {
                return false;
            }
        }
        return true;
    }

    bool Close() {
        if (!in_.Valid()) {
            return false;
        }
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        switch (frame.role) {
        case Role::Root:
            out_.version = Wide(frame.values[kVersion]);
            break;
        case Role::SetupFolder:
            out_.hasSetupFolder = true;
            out_.setupFolder = Wide(frame.text);
            break;
        case Role::DeleteFile:
            if (!Spend(frame.text.size())) {
                return false;
            }
            out_.deleteFiles.push_back(Wide(frame.text));
            break;
        case Role::SetupFile:
        case Role::RunFile:
            return ListedFile(frame);
        case Role::UpgradeFile:
            return UpgradeFile(frame);
        case Role::RunAfterUpgrade:
            out_.hasRunAfterUpgrade = true;
            out_.runAfterUpgrade = Wide(frame.text);
            break;
        default:
            break;
        }
        return true;
    }

    // A malformed value is the document parser's to report.
    static bool Sha256Of(const Frame& frame, std::string& sha256) {
        if (!frame.has[kSha256]) {
            sha256.clear();
            return true;
        }
        sha256 = Lower(frame.values[kSha256]);
        return IsHexText(sha256, kSha256Digits);
    }

    bool ListedFile(const Frame& frame) {
        const bool setup = frame.role == Role::SetupFile;
        // A setup file without a hash is no entry.
        if (setup && !frame.has[kHash]) {
            return true;
        }
        if (!Spend(frame.text.size() + frame.values[kHash].size() + frame.values[kArgs].size())) {
            return false;
        }
        StreamedFile file;
        if (setup) {
            if (!IsHexText(frame.values[kHash], kSha1Digits)) {
                return false;
            }
            file.hash = Wide(frame.values[kHash]);
        }
        if (!Sha256Of(frame, file.sha256)) {
            return false;
        }
        file.fileName = Wide(frame.text);
        file.args = Wide(frame.values[kArgs]);
        (setup ? out_.setupFiles : out_.postUpgradeActions).push_back(std::move(file));
        return true;
    }

    // Hash text of one case is shown again from the bytes; text of both cases is the document parser's.
    bool UpgradeFile(const Frame& frame) {
        if (!frame.has[kHash]) {
            return true;
        }
        const std::string& hash = frame.values[kHash];
        bool lower = false;
        bool upper = false;
        for (const char c : hash) {
            lower = lower || (c >= 'a' && c <= 'f');
            upper = upper || (c >= 'A' && c <= 'F');
        }
        ManifestFileList::Sha1Bytes sha1;
        ManifestFileList::Sha256Bytes sha256;
        std::string sha256Text;
        if ((lower && upper) || !HexToBytes(hash, sha1.data(), sha1.size()) || !Sha256Of(frame, sha256Text) ||
            (!sha256Text.empty() && !HexToBytes(sha256Text, sha256.data(), sha256.size()))) {
            return false;
        }
        out_.upgradeFiles.Add(Wide(frame.text), sha1, sha256Text.empty() ? nullptr : &sha256);
        out_.upgradeHashLower.push_back(lower);
        return true;
    }

    bool Spend(std::size_t textBytes) {
        smallKept_ += kEntryCost + sizeof(wchar_t) * textBytes;
        return smallKept_ <= kSmallListBudget;
    }

    Reader in_;
    StreamedManifest& out_;
    std::size_t smallKept_ = 0;
    std::vector<Frame> stack_;
    bool seen_[6] = {false, false, false, false, false, false};
};

} // namespace

bool ReadManifestStream(ByteSource& source, StreamedManifest& manifest) {
    return Parser(source, manifest).Run();
}

} // namespace ZEPMaintenance
