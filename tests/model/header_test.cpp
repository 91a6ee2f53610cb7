#include "model/header.hpp"

#include <gtest/gtest.h>

#include "model/log_builder.hpp"

namespace vellicor {
namespace {

using namespace testing_support;

Error parse_error(const char* message) {
  return Error(HeaderParseError, message);
}

TEST(HeaderTest, ParsesTheInstallersHeader) {
  const Bytes file = read_bytes(fixture("staged.dat"));
  const auto header = parse_header(std::span(file).first(kHeaderSize));
  ASSERT_TRUE(header.has_value()) << header.error().display_text();
  EXPECT_EQ(*header, (UninstallHeader{"Inno Setup Uninstall Log (b)",
                                      "{0B7D9E54-2C31-4F6A-8E21-5D4C3B2A1F00}", "Vellicor", 1048,
                                      65, 7551, 1, 0x985007c4}));
  EXPECT_EQ(header_text(*header),
            "Header, id: Inno Setup Uninstall Log (b), app id: "
            "{0B7D9E54-2C31-4F6A-8E21-5D4C3B2A1F00}, app name: Vellicor, version: 1048, num recs: "
            "65, end offset: 7551, flags: 0x1, crc: 0x985007c4");
}

TEST(HeaderTest, Validation) {
  const struct {
    const char* name;
    HeaderFields fields;
    std::optional<Error> error;
  } cases[] = {
      {"the 64-bit identifier", {.id = "Inno Setup Uninstall Log (b) 64-bit"}, std::nullopt},
      {"identifier in lower case",
       {.id = "inno setup uninstall log (b)"},
       parse_error("Invalid header ID")},
      {"identifier with a blank",
       {.id = "Inno Setup Uninstall Log (b) "},
       parse_error("Invalid header ID")},
      {"empty identifier", {.id = ""}, parse_error("Invalid header ID")},
      {"version 1048", {.version = 1048}, std::nullopt},
      {"version 1049", {.version = 1049}, parse_error("Header version not supported")},
      {"version -1", {.version = -1}, std::nullopt},
      {"the lowest version", {.version = INT32_MIN}, std::nullopt},
      {"wrong crc", {.crc = 0}, parse_error("CRC32 check failed")},
      // The crc is checked before the identifier, the identifier before the version.
      {"wrong crc and identifier", {.id = "x", .crc = 0}, parse_error("CRC32 check failed")},
      {"wrong identifier and version",
       {.id = "x", .version = 2000},
       parse_error("Invalid header ID")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto header = parse_header(header_image(c.fields));
    if (!c.error) {
      ASSERT_TRUE(header.has_value()) << header.error().display_text();
      EXPECT_EQ(header->id, c.fields.id);
      EXPECT_EQ(header->version, c.fields.version);
    } else {
      ASSERT_FALSE(header.has_value());
      EXPECT_EQ(error_of(header), *c.error);
    }
  }
}

TEST(HeaderTest, TextFieldsMustBeUtf8) {
  const struct {
    size_t offset;
    const char* message;
  } cases[] = {
      {10, "Failed to parse header ID"},
      {66, "Failed to parse header app ID"},
      {194, "Failed to parse header app name"},
  };
  for (const auto& c : cases) {
    Bytes image = header_image({});
    image[c.offset] = 0xC3;  // a lead byte without its continuation
    image[c.offset + 1] = 0x28;
    fix_header_crc(image);
    EXPECT_EQ(error_of(parse_header(image)), parse_error(c.message)) << c.message;
  }
  // After the terminating zero, anything goes.
  Bytes image = header_image({});
  image[100] = 0xFF;
  fix_header_crc(image);
  EXPECT_TRUE(parse_header(image).has_value());
}

TEST(HeaderTest, AShortImageFailsAtTheFirstMissingField) {
  const Bytes image = header_image({});
  const struct {
    size_t size;
    const char* message;
  } cases[] = {
      {0, "Failed to parse header ID"},         {100, "Failed to parse header app ID"},
      {300, "Failed to parse header app name"}, {320, "Failed to parse header version"},
      {327, "Failed to parse header num recs"}, {330, "Failed to parse header end offset"},
      {332, "Failed to parse header flags"},    {400, "Failed to parse header reserved"},
      {447, "Failed to parse header crc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_of(parse_header(std::span(image).first(c.size))), parse_error(c.message))
        << c.size;
  }
}

TEST(HeaderTest, TextFieldsAreCutAtTheFirstZeroAndRewrittenClean) {
  Bytes image = header_image({.app_name = std::string(128, 'N')});
  image[40] = 'x';    // after the identifier's terminating zero
  image[340] = 0x55;  // a reserved word
  fix_header_crc(image);
  const auto header = parse_header(image);
  ASSERT_TRUE(header.has_value()) << header.error().display_text();
  EXPECT_EQ(header->id, "Inno Setup Uninstall Log (b)");
  EXPECT_EQ(header->app_name, std::string(128, 'N'));  // the whole field, no terminator

  const auto rewritten = serialize_header(*header, header->end_offset);
  ASSERT_TRUE(rewritten.has_value());
  EXPECT_EQ(Bytes(rewritten->begin(), rewritten->end()),
            header_image({.app_name = std::string(128, 'N')}));
}

TEST(HeaderTest, SerialisingAParsedHeaderGivesItsBytesBack) {
  for (const char* name : {"installed.dat", "staged.dat", "staged-rebased.dat"}) {
    const Bytes file = read_bytes(fixture(name));
    const Bytes image(file.begin(), file.begin() + kHeaderSize);
    const auto header = parse_header(image);
    ASSERT_TRUE(header.has_value()) << name;
    const auto rewritten = serialize_header(*header, header->end_offset);
    ASSERT_TRUE(rewritten.has_value()) << name;
    EXPECT_EQ(Bytes(rewritten->begin(), rewritten->end()), image) << name;
  }
}

TEST(HeaderTest, SerialisingTakesTheGivenEndOffsetAndComputesTheCrc) {
  UninstallHeader header{"Inno Setup Uninstall Log (b) 64-bit", "{A}", "B", -5, 7, 1, 0x80, 99};
  const auto image = serialize_header(header, 5472);
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(Bytes(image->begin(), image->end()), header_image({.id = header.id,
                                                               .app_id = "{A}",
                                                               .app_name = "B",
                                                               .version = -5,
                                                               .num_recs = 7,
                                                               .end_offset = 5472,
                                                               .flags = 0x80}));
}

TEST(HeaderTest, TextsLongerThanTheirFieldsAreRefused) {
  UninstallHeader header{kHeaderId, "{A}", "B"};
  header.id = std::string(65, 'i');
  EXPECT_EQ(error_of(serialize_header(header, 448)),
            Error(HeaderWriteError, "Failed to write header id to buffer"));
  header.id = kHeaderId;
  header.app_id = std::string(129, 'a');
  EXPECT_EQ(error_of(serialize_header(header, 448)),
            Error(HeaderWriteError, "Failed to write header app id to buffer"));
  header.app_id = std::string(128, 'a');
  header.app_name = std::string(129, 'n');
  EXPECT_EQ(error_of(serialize_header(header, 448)),
            Error(HeaderWriteError, "Failed to write header app name to buffer"));
}

TEST(HeaderTest, TextForm) {
  const UninstallHeader header{"I", "{A}", "Überblick", -3, 0, 4294967295u, 0, 171};
  EXPECT_EQ(header_text(header),
            "Header, id: I, app id: {A}, app name: Überblick, version: -3, num recs: 0, end "
            "offset: 4294967295, flags: 0x0, crc: 0xab");
}

}  // namespace
}  // namespace vellicor
