// The signed container: what LoadFile accepts and refuses, and which changes VerifySignature catches,
// on a container zcf signed with the development key (checked through CryptoAPI under Wine).
#include "upgrade/SignedManifestFile.h"
#include "upgrade/CryptoPrimitives.h"

#include "base/Platform.h"
#include "support/DevelopmentKey.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Base64.h"
#include "system/Text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace ZEPMaintenance {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBadFormat = 11;
constexpr std::size_t kReservedAt = 7;
constexpr std::size_t kKeyIdAt = 27;
constexpr std::size_t kLengthAt = 67;
constexpr std::size_t kSignatureAt = 71;

Bytes ReadBytes(const std::wstring& path) {
    std::ifstream stream(std::filesystem::path(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

void PutLength(Bytes& container, uint32_t length) {
    for (int i = 0; i < 4; ++i) {
        container[kLengthAt + i] = static_cast<uint8_t>(length >> (8 * i));
    }
}

class SignedManifestFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        signedContainer = ReadBytes(test::UpgradeFixture(L"manifest.zcf"));
        xml = ReadBytes(test::UpgradeFixture(L"manifest.xml"));
        ASSERT_GT(signedContainer.size(), kSignatureAt + 256) << "fixture container missing";
        ASSERT_FALSE(xml.empty());
    }

    // Writes the bytes as a container file and reads it; the LoadFile result.
    uint32_t Load(const Bytes& container) {
        const std::wstring path = dir.Path() + L"zep_upgrade.xml.zcf";
        std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(container.data()),
                   static_cast<std::streamsize>(container.size()));
        return image.LoadFile(path.c_str());
    }

    // LoadFile, then VerifySignature with the development key: the first non-zero result.
    uint32_t LoadAndVerify(const Bytes& container) {
        const uint32_t loaded = Load(container);
        return loaded != 0 ? loaded : image.VerifySignature(test::DevelopmentKey());
    }

    test::TempDir dir;
    SignedManifestFile image;
    Bytes signedContainer;
    Bytes xml;
};

TEST_F(SignedManifestFileTest, ContainerFromTheReleaseToolReadsAndVerifies) {
    ASSERT_EQ(Load(signedContainer), 0u);
    EXPECT_EQ(std::memcmp(image.GetMagic(), "ZEPSIG1", 7), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.GetKeyId()), 40), test::DevelopmentKey().keyId);
    ASSERT_EQ(image.GetSignatureLength(), 256u);
    ASSERT_EQ(image.GetDataLength(), xml.size());
    EXPECT_TRUE(std::equal(xml.begin(), xml.end(), image.GetData()));
    // Kept least significant byte first: the file's signature reversed.
    const Bytes stored(signedContainer.begin() + kSignatureAt, signedContainer.begin() + kSignatureAt + 256);
    EXPECT_TRUE(std::equal(stored.rbegin(), stored.rend(), image.GetSignature()));
    EXPECT_EQ(image.VerifySignature(test::DevelopmentKey()), 0u);
    // The same signature stored in the other byte order does not verify.
    Bytes unreversed = signedContainer;
    std::reverse(unreversed.begin() + kSignatureAt, unreversed.begin() + kSignatureAt + 256);
    EXPECT_EQ(LoadAndVerify(unreversed), platform::kNteBadSignature);
}

TEST_F(SignedManifestFileTest, EveryByteOutsideTheReservedFieldIsCovered) {
    for (std::size_t at = 0; at < signedContainer.size(); ++at) {
        Bytes changed = signedContainer;
        changed[at] ^= 0x01;
        const uint32_t result = LoadAndVerify(changed);
        // The reserved bytes are neither read nor signed.
        if (at >= kReservedAt && at < kKeyIdAt) {
            EXPECT_EQ(result, 0u) << "reserved byte " << at;
        } else if (at < kReservedAt) {
            EXPECT_EQ(result, kBadFormat) << "magic byte " << at;
        } else if (at < kLengthAt) {
            EXPECT_EQ(result, platform::kNteBadKey) << "key id byte " << at;
        } else if (at < kSignatureAt) {
            EXPECT_NE(result, 0u) << "length byte " << at;
        } else {
            EXPECT_EQ(result, platform::kNteBadSignature) << "signature or data byte " << at;
        }
    }
}

TEST_F(SignedManifestFileTest, KeyIdMustMatchByteForByteLetterCaseIncluded) {
    const std::string id = test::DevelopmentKey().keyId;
    const auto letter = std::find_if(id.begin(), id.end(), [](char c) { return c >= 'A' && c <= 'F'; });
    ASSERT_NE(letter, id.end());
    Bytes lower = signedContainer;
    lower[kKeyIdAt + static_cast<std::size_t>(letter - id.begin())] ^= 0x20;
    EXPECT_EQ(LoadAndVerify(lower), platform::kNteBadKey);

    // The key a build trusts must also be spelled exactly: a lower-case built-in id matches nothing.
    ASSERT_EQ(Load(signedContainer), 0u);
    SigningKey lowerKey = test::DevelopmentKey();
    std::transform(lowerKey.keyId.begin(), lowerKey.keyId.end(), lowerKey.keyId.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    EXPECT_EQ(image.VerifySignature(lowerKey), platform::kNteBadKey);
    SigningKey shortKey = test::DevelopmentKey();
    shortKey.keyId.pop_back();
    EXPECT_EQ(image.VerifySignature(shortKey), platform::kNteBadKey);
}

TEST_F(SignedManifestFileTest, AnotherPublicKeyUnderTheSameIdDoesNotVerify) {
    Bytes blob;
    ASSERT_TRUE(DecodeBase64(test::DevelopmentKey().publicKey, blob));
    ASSERT_EQ(blob.size(), SignedManifestFile::kPublicKeyBlobSize);
    blob[100] ^= 0x40; // a modulus byte
    std::wstring text;
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < blob.size(); i += 3) {
        const uint32_t group =
            static_cast<uint32_t>(blob[i]) << 16 | static_cast<uint32_t>(blob[i + 1]) << 8 | blob[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) {
            text += static_cast<wchar_t>(kAlphabet[(group >> shift) & 0x3F]);
        }
    }
    ASSERT_EQ(Load(signedContainer), 0u);
    EXPECT_EQ(image.VerifySignature(SigningKey{test::DevelopmentKey().keyId, text}),
              platform::kNteBadSignature);
}

TEST_F(SignedManifestFileTest, SignatureLengthAgainstTheFileSize) {
    // Longer than the rest of the file: a short signature read, before any data length exists.
    Bytes longer = signedContainer;
    PutLength(longer, static_cast<uint32_t>(signedContainer.size() - kSignatureAt + 1));
    EXPECT_EQ(Load(longer), kBadFormat);
    EXPECT_EQ(image.GetDataLength(), 0u);
    PutLength(longer, 0xFFFFFFFFu);
    EXPECT_EQ(Load(longer), kBadFormat);

    // Exactly the rest: an empty data field, which the signature cannot cover.
    Bytes whole = signedContainer;
    PutLength(whole, static_cast<uint32_t>(signedContainer.size() - kSignatureAt));
    ASSERT_EQ(Load(whole), 0u);
    EXPECT_EQ(image.GetDataLength(), 0u);
    EXPECT_EQ(image.VerifySignature(test::DevelopmentKey()), platform::kNteBadSignature);

    // The header alone with L = 0 reads, and fails verification.
    Bytes header(signedContainer.begin(), signedContainer.begin() + kSignatureAt);
    PutLength(header, 0);
    ASSERT_EQ(Load(header), 0u);
    EXPECT_EQ(image.GetSignatureLength(), 0u);
    EXPECT_EQ(image.GetDataLength(), 0u);
    EXPECT_EQ(image.VerifySignature(test::DevelopmentKey()), platform::kNteBadSignature);
}

TEST_F(SignedManifestFileTest, MalformedFilesAndTheirCodes) {
    EXPECT_EQ(image.LoadFile(nullptr), 87u);
    EXPECT_EQ(image.LoadFile((dir.Path() + L"missing.zcf").c_str()), 2u);
    EXPECT_EQ(Load(Bytes()), kBadFormat);
    EXPECT_EQ(Load(Bytes(signedContainer.begin(), signedContainer.begin() + 6)), kBadFormat);
    Bytes magic = signedContainer;
    magic[6] = '2';
    EXPECT_EQ(Load(magic), kBadFormat);
    // Cut inside the reserved field, the key id, the length and the signature.
    for (const std::size_t size : {std::size_t{20}, std::size_t{50}, std::size_t{69}, std::size_t{200}}) {
        EXPECT_EQ(
            Load(Bytes(signedContainer.begin(), signedContainer.begin() + static_cast<std::ptrdiff_t>(size))),
            kBadFormat)
            << size << " bytes";
    }
}

TEST_F(SignedManifestFileTest, EachReadStartsFromAClearedImage) {
    ASSERT_EQ(Load(signedContainer), 0u);
    Bytes magic = signedContainer;
    magic[0] = 'X';
    EXPECT_EQ(Load(magic), kBadFormat);
    EXPECT_EQ(image.GetSignatureLength(), 0u);
    EXPECT_EQ(image.GetDataLength(), 0u);
    EXPECT_EQ(image.GetSignature(), nullptr);
    EXPECT_EQ(image.GetData(), nullptr);
    EXPECT_TRUE(std::all_of(image.GetKeyId(), image.GetKeyId() + 40, [](uint8_t b) { return b == 0; }));
    // The same image verifies nothing afterwards.
    EXPECT_EQ(image.VerifySignature(test::DevelopmentKey()), platform::kNteBadKey);
}

TEST(SigningKeyTest, KeyIdIsTheSha1OfTheBuiltInPublicKeyBlob) {
    test::EnsureCryptoProvider();
    const SigningKey key = BuiltInSigningKey();
    EXPECT_EQ(key.publicKey.size(), 368u);
    Bytes blob;
    ASSERT_TRUE(DecodeBase64(key.publicKey, blob));
    ASSERT_EQ(blob.size(), 276u);
    // PUBLICKEYBLOB, version 2, CALG_RSA_KEYX; "RSA1", 2048 bits, exponent 65537.
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 20),
              (Bytes{0x06, 0x02, 0,    0,    0x00, 0xA4, 0,    0,    'R',  'S',
                     'A',  '1',  0x00, 0x08, 0,    0,    0x01, 0x00, 0x01, 0}));
    test::TempDir dir;
    const std::wstring path = dir.Path() + L"blob";
    std::ofstream(std::filesystem::path(path), std::ios::binary)
        .write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
    Sha1Hash hash;
    hash.CalcFromFile(path);
    EXPECT_EQ(hash.ToString(), key.keyId);
    EXPECT_EQ(std::string(SigningKeyId), key.keyId);
}

TEST(SigningKeyTest, BuiltInKeyVerifiesTheFixtureWhenItIsTheDevelopmentKey) {
    if (!SigningKeyIsDevelopment) {
        GTEST_SKIP() << "this build trusts another key than the development pair";
    }
    SignedManifestFile image;
    ASSERT_EQ(image.LoadFile(test::UpgradeFixture(L"manifest.zcf").c_str()), 0u);
    EXPECT_EQ(image.VerifySignature(), 0u);
}

TEST(VerifyProviderNameTest, WindowsXpKnowsTheProviderUnderItsPrototypeName) {
    EXPECT_EQ(VerifyProviderName(5, 1), L"Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)");
    for (const auto& [major, minor] :
         {std::pair{5u, 2u}, std::pair{6u, 1u}, std::pair{10u, 0u}, std::pair{1u, 5u}}) {
        EXPECT_EQ(VerifyProviderName(major, minor), L"Microsoft Enhanced RSA and AES Cryptographic Provider");
    }
}

} // namespace
} // namespace ZEPMaintenance
