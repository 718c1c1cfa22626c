// The XML parser is built in its wide-character mode: manifests become wide text directly.
#include <pugixml.hpp>

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

namespace {

TEST(XmlParserTest, WideCharacterBuildReadsUtf8Buffers) {
    static_assert(std::is_same_v<pugi::char_t, wchar_t>);
    const char xml[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<manifest><file name=\"Přehled.dll\">ABCDEF</file><file name=\"b\"/></manifest>";
    pugi::xml_document document;
    const pugi::xml_parse_result result =
        document.load_buffer(xml, std::strlen(xml), pugi::parse_default, pugi::encoding_auto);
    ASSERT_TRUE(result) << result.description();
    const pugi::xml_node manifest = document.child(L"manifest");
    EXPECT_EQ(std::wstring(manifest.child(L"file").attribute(L"name").value()), L"Přehled.dll");
    EXPECT_EQ(std::wstring(manifest.child(L"file").text().get()), L"ABCDEF");
    int files = 0;
    for (const pugi::xml_node file : manifest.children(L"file")) {
        files += file ? 1 : 0;
    }
    EXPECT_EQ(files, 2);
}

} // namespace
