// The MSI signer check on the test corpus: packages built by wixl and signed by osslsigncode, each
// accepted or refused with the lines its reason calls for (under Wine through the Windows Installer's
// and CryptoAPI's own calls).
#include "upgrade/MsiValidator.h"

#include "support/CapturedLog.h"
#include "support/MsiCorpus.h"
#include "support/SystemSupport.h"

#include <gtest/gtest.h>

#include <map>

namespace ZEPMaintenance {
namespace {

using test::ExpectedLine;

const std::wstring kSigned = L"MSI package is signed by the authorised signer.";
const std::wstring kWrongName = L"MSI package is not signed by the authorised signer (cn).";
const std::wstring kWrongCountry = L"MSI package is not signed by the authorised signer. (c)";

// The lines each reason of the corpus must log, besides the first line and the result line.
const std::map<std::wstring, std::vector<ExpectedLine>> kLinesOfReason = {
    {L"valid",
     {{LevelError, kSigned},
      {LevelDebug, L"A chain engine has been created."},
      {LevelDebug, L"VerifyMsiAuthenticodeSignature() CertGetCertificateChain result=1"},
      {LevelInfo, L"No error found for this certificate or chain.\n"}}},
    {L"unsigned", {{LevelDebug, L"MsiGetFileSignatureInformationW result=0x800b0100"}}},
    {L"changed-stream", {{LevelDebug, L"MsiGetFileSignatureInformationW result=0x80096010"}}},
    {L"changed-signature-stream", {}},
    {L"changed-signer-signature", {{LevelDebug, L"MsiGetFileSignatureInformationW result=0x80096004"}}},
    {L"country", {{LevelError, kWrongCountry}}},
    {L"common-name", {{LevelError, kWrongName}}},
    {L"not-time-valid",
     {{LevelError, kSigned},
      {LevelError,
       L"This certificate or one of the certificates in the certificate chain is not time-valid."}}},
    {L"untrusted-root",
     {{LevelError, kSigned},
      {LevelError, L"The certificate or certificate chain is based on an untrusted root."}}},
    // Not time-valid and untrusted at once: a status that matches no row logs no trust text.
    {L"several-trust-errors", {{LevelError, kSigned}}},
    {L"self-signed",
     {{LevelError, kSigned},
      {LevelError, L"The certificate or certificate chain is based on an untrusted root."}}},
};

// What Wine's Windows Installer does not check (docs/msi.md): it never hashes a package's streams, and a
// byte of the signature stream that no signature covers (its copies of the certificates) goes unseen.
bool WineSkips(const std::wstring& reason) {
    return reason == L"changed-stream" || reason == L"changed-signature-stream";
}

// Wine's signer certificate comes without the signature's certificates, so a root that is not trusted is
// not found at all: the chain is incomplete rather than based on an untrusted root.
std::vector<ExpectedLine> LinesOfReason(const std::wstring& reason) {
    if (test::RunningUnderWine() && reason == L"untrusted-root") {
        return {{LevelError, kSigned}, {LevelError, L"The certificate chain is not complete."}};
    }
    return kLinesOfReason.at(reason);
}

class MsiValidatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!trusted.Failure().empty() && test::RunningUnderWine()) {
            // Run with the root in the bundle by tests/integration/wine_trusted_root.sh.
            GTEST_SKIP() << trusted.Failure();
        }
        ASSERT_TRUE(trusted.Failure().empty()) << trusted.Failure();
        corpus = test::ReadMsiCorpus();
        ASSERT_GE(corpus.size(), 10u) << "the MSI corpus is missing";
    }

    test::ScopedTrustedTestRoot trusted;
    std::vector<test::MsiCorpusEntry> corpus;
};

TEST_F(MsiValidatorTest, EveryPackageOfTheCorpusGetsItsVerdictAndLines) {
    for (const test::MsiCorpusEntry& entry : corpus) {
        if (test::RunningUnderWine() && WineSkips(entry.reason)) {
            continue;
        }
        SCOPED_TRACE(testing::Message() << "package " << std::string(entry.file.begin(), entry.file.end()));
        test::CapturedLog log;
        const std::wstring path = test::MsiCorpusFolder() + entry.file;
        EXPECT_EQ(MsiValidator::VerifyMsiAuthenticodeSignature(path), entry.accepted) << log.Dump();
        std::vector<ExpectedLine> expected = LinesOfReason(entry.reason);
        expected.push_back({LevelDebug, L"VerifyMsiAuthenticodeSignature('" + path + L"')"});
        // Only a check that gets as far as the chain ends with its result line.
        const bool reachesChain = log.Has(LevelError, kSigned);
        if (reachesChain) {
            expected.push_back({LevelDebug, entry.accepted
                                                ? L"VerifyMsiAuthenticodeSignature() result=1. END"
                                                : L"VerifyMsiAuthenticodeSignature() result=0. END"});
        }
        EXPECT_EQ(log.Missing(expected), L"");
        EXPECT_EQ(reachesChain, log.Contains(L"VerifyMsiAuthenticodeSignature() result=")) << log.Dump();
        if (!entry.accepted && entry.reason != L"valid") {
            EXPECT_FALSE(log.Has(LevelInfo, L"No error found for this certificate or chain.\n"));
        }
        if (entry.reason == L"several-trust-errors") {
            for (const wchar_t* text : {L"not time-valid", L"untrusted root", L"not complete"}) {
                EXPECT_FALSE(log.Contains(text)) << log.Dump();
            }
        }
        if (entry.reason == L"unsigned" || entry.reason.starts_with(L"changed-")) {
            EXPECT_TRUE(log.Contains(L"MsiGetFileSignatureInformationW ERROR result=0x")) << log.Dump();
            EXPECT_FALSE(log.Contains(L"MSI     : cn=")) << log.Dump();
        }
    }
}

TEST_F(MsiValidatorTest, SignerNamesAreLoggedWithTheirCharacterCodes) {
    test::CapturedLog log;
    ASSERT_TRUE(MsiValidator::VerifyMsiAuthenticodeSignature(test::MsiCorpusFolder() + L"diacritics.msi"))
        << log.Dump();
    EXPECT_EQ(log.Missing({
                  {LevelDebug, L"MSI     : cn='Orv\u00E1nta Signing, a.s.' c='CZ'"},
                  {LevelDebug, L"        : cn='4f7276e16e7461205369676e696e672c20612e732e' c='435a'"},
                  {LevelDebug, L"required: cn='Orvanta Signing, a.s.' c='CZ'"},
                  {LevelDebug, L"required: cn='4f7276616e7461205369676e696e672c20612e732e' c='435a'"},
                  {LevelDebug, L"required: cn='Orv\u00E1nta Signing, a.s.' c='CZ'"},
              }),
              L"");
}

TEST(MsiValidatorStatusTest, StatusesAreLookedUpAsWholeValues) {
    EXPECT_STREQ(MsiValidator::TrustErrorText(0x10000), L"The certificate chain is not complete.");
    EXPECT_STREQ(MsiValidator::TrustInfoText(0x8), L"This certificate is self-signed.");
    // Not time-valid and untrusted at once: no row, no text, and still a refusal.
    EXPECT_EQ(MsiValidator::TrustErrorText(0x21), nullptr);
    EXPECT_EQ(MsiValidator::TrustInfoText(0x9), nullptr);
}

} // namespace
} // namespace ZEPMaintenance
