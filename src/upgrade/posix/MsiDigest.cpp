// Linux side of MsiValidator: the package's compound file through libgsf, read from the descriptor that
// was opened and checked, and its Authenticode digest.
#include "upgrade/posix/MsiDigest.h"

#include "base/WinError.h"
#include "base/posix/Utf8.h"
#include "system/posix/PosixSupport.h"
#include "upgrade/MsiPrimitives.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-input.h>
#include <openssl/evp.h>
#include <sys/stat.h>

namespace ZEPMaintenance::platform::msi {

namespace {

constexpr std::size_t kChunk = 64 * 1024;
// Sub-storages nest no deeper in any package; a deeper file is refused rather than recursed into.
constexpr int kMaxStorageDepth = 32;

struct ObjectUnref {
    void operator()(void* object) const {
        if (object != nullptr) {
            g_object_unref(object);
        }
    }
};
template <class T> using GsfPointer = std::unique_ptr<T, ObjectUnref>;

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// A name as the compound file holds it: UTF-16 code units.
std::u16string Utf16Name(const char* utf8) {
    std::u16string units;
    for (const wchar_t c : posix::DecodeUtf8(utf8 == nullptr ? "" : utf8, posix::InvalidBytes::Replace)) {
        const auto code = static_cast<uint32_t>(c);
        if (code >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(code));
        }
    }
    return units;
}

// The order the digest takes the children in: their names as little-endian UTF-16 bytes, compared byte by
// byte, a name that is the start of another first. Not the order of the code units: 0x4840 comes before
// 0x413F, whose low byte is smaller.
bool NameBytesBefore(const std::u16string& a, const std::u16string& b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (a[i] != b[i]) {
            const uint8_t lowA = a[i] & 0xFF;
            const uint8_t lowB = b[i] & 0xFF;
            return lowA != lowB ? lowA < lowB : (a[i] >> 8) < (b[i] >> 8);
        }
    }
    return a.size() < b.size();
}

bool HashStream(GsfInput* stream, EVP_MD_CTX* context) {
    gsf_off_t remaining = gsf_input_size(stream);
    guint8 buffer[kChunk];
    while (remaining > 0) {
        const std::size_t count = static_cast<std::size_t>(std::min<gsf_off_t>(remaining, kChunk));
        if (gsf_input_read(stream, count, buffer) == nullptr ||
            EVP_DigestUpdate(context, buffer, count) != 1) {
            return false;
        }
        remaining -= static_cast<gsf_off_t>(count);
    }
    return true;
}

bool HashStorage(GsfInfile* storage, EVP_MD_CTX* context, bool root, int depth) {
    if (depth > kMaxStorageDepth) {
        return false;
    }
    struct Child {
        std::u16string name;
        int index;
    };
    std::vector<Child> children;
    const int count = gsf_infile_num_children(storage);
    for (int i = 0; i < count; ++i) {
        const char* name = gsf_infile_name_by_index(storage, i);
        if (root && name != nullptr &&
            (std::string_view(name) == kDigitalSignatureStream ||
             std::string_view(name) == kDigitalSignatureExStream)) {
            continue;
        }
        children.push_back({Utf16Name(name), i});
    }
    std::sort(children.begin(), children.end(),
              [](const Child& a, const Child& b) { return NameBytesBefore(a.name, b.name); });
    for (const Child& child : children) {
        const GsfPointer<GsfInput> input(gsf_infile_child_by_index(storage, child.index));
        if (!input) {
            return false;
        }
        const bool ok = GSF_IS_INFILE(input.get()) && gsf_infile_num_children(GSF_INFILE(input.get())) >= 0
                            ? HashStorage(GSF_INFILE(input.get()), context, false, depth + 1)
                            : HashStream(input.get(), context);
        if (!ok) {
            return false;
        }
    }
    guint8 classId[16] = {};
    if (!gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(storage), classId)) {
        return false;
    }
    return EVP_DigestUpdate(context, classId, sizeof classId) == 1;
}

} // namespace

struct Package::State {
    GsfPointer<GsfInput> input;
    GsfPointer<GsfInfile> root;
};

Package::Package() : state_(std::make_unique<State>()) {}
Package::~Package() = default;

uint32_t Package::Open(const std::wstring& path) {
    // The package comes from a user: no link is followed, no FIFO waited on, and the file read is the
    // one that was opened and checked.
    posix::UniqueFd fd;
    const uint32_t error = posix::OpenObject(posix::NativePath(path), O_RDONLY, posix::ObjectKind::File, fd);
    if (error != WinError::kSuccess) {
        return HresultFromWin32(error);
    }
    FILE* file = fdopen(fd.Get(), "rb");
    if (file == nullptr) {
        return HresultFromWin32(posix::LastWinError());
    }
    (void)fd.Release();
    // Takes the stream over and closes it when the input goes.
    state_->input.reset(gsf_input_stdio_new_FILE(posix::NativePath(path).c_str(), file, FALSE));
    if (!state_->input) {
        std::fclose(file);
        return HresultFromWin32(WinError::kNotEnoughMemory);
    }
    GError* failure = nullptr;
    state_->root.reset(gsf_infile_msole_new(state_->input.get(), &failure));
    if (failure != nullptr) {
        g_error_free(failure);
    }
    return state_->root ? 0 : kTrustESubjectFormUnknown;
}

uint32_t Package::ReadSignature(int64_t limit, std::vector<uint8_t>& signature) {
    const GsfPointer<GsfInput> stream(gsf_infile_child_by_name(state_->root.get(), kDigitalSignatureStream));
    if (!stream || (GSF_IS_INFILE(stream.get()) && gsf_infile_num_children(GSF_INFILE(stream.get())) >= 0)) {
        return kTrustENoSignature;
    }
    const gsf_off_t size = gsf_input_size(stream.get());
    if (size <= 0 || size > limit) {
        return kTrustENoSignature;
    }
    signature.resize(static_cast<std::size_t>(size));
    if (gsf_input_read(stream.get(), signature.size(), signature.data()) == nullptr) {
        return kTrustESubjectFormUnknown;
    }
    return 0;
}

uint32_t Package::ComputeDigest(const EVP_MD* md, std::vector<uint8_t>& digest) {
    const std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) {
        return HresultFromWin32(WinError::kNotEnoughMemory);
    }
    const GsfPointer<GsfInput> extended(
        gsf_infile_child_by_name(state_->root.get(), kDigitalSignatureExStream));
    if (extended && !HashStream(extended.get(), context.get())) {
        return kTrustESubjectFormUnknown;
    }
    if (!HashStorage(state_->root.get(), context.get(), true, 0)) {
        return kTrustESubjectFormUnknown;
    }
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), value, &length) != 1) {
        return HresultFromWin32(WinError::kNotEnoughMemory);
    }
    digest.assign(value, value + length);
    return 0;
}

} // namespace ZEPMaintenance::platform::msi
