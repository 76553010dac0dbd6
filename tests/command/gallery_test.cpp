// The gallery page written from a hand-made catalogue: its embedded data parsed back, hostile names
// kept inside the data block, media paths that are no file of the scan dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "testing/run_command.h"
#include "tools/common.hpp"
#include "tools/scan_gallery.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qftest::ReadText;

const std::string kOpen = R"(<script type="application/json" id="catalogue">)";

void WriteText(const fs::path &file, const std::string &text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// The data block's text, as the page's own script reads it.
std::string DataBlock(const std::string &page)
{
    const size_t start = page.find(kOpen);
    EXPECT_NE(start, std::string::npos);
    const size_t end = page.find("</script>", start);
    return page.substr(start + kOpen.size(), end - start - kOpen.size());
}

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class GalleryTest : public ::testing::Test {
protected:
    json writeAndRead(const std::vector<json> &lines)
    {
        std::string text;
        for (const json &line : lines) text += line.dump() + "\n";
        WriteText(dir_ / "catalogue.jsonl", text);
        qftools::WriteGallery(dir_.path());
        page_ = ReadText(dir_ / "index.html");
        return json::parse(DataBlock(page_));
    }

    qftest::TempDir dir_;
    std::string page_;
};

TEST_F(GalleryTest, HostileNamesRoundTripInsideTheDataBlock)
{
    const std::string breakout = "</script><script>alert(1)</script><!-- \"q\" 'a' & Flüge ✈";
    WriteText(dir_ / "media/a.png", "png");
    WriteText(dir_ / "media/a #1.mp4", "mp4");
    json first = {{"type", "movie"},
                  {"sha256", std::string(64, 'a')},
                  {"name", breakout},
                  {"locations", {"set.zip:Disk1.adz:Anims/" + breakout, "Disk7.adf:Anims/x"}},
                  {"lengthText", "00:10.440"},
                  {"scenes", 39},
                  {"assets",
                   {{{"kind", "background"}, {"amigaPath", "Work:Pics/Back"}, {"foundAt", nullptr}, {"missing", true}},
                    {{"kind", "sound"}, {"amigaPath", "Work:Snd/Boom"}, {"foundAt", "a:b"}, {"missing", false}}}},
                  {"volumes", {{{"label", "Art</script>"}, {"chosen", nullptr}, {"candidates", json::array()}}}},
                  {"media", {{"poster", "media/a.png"}, {"video", "media/a #1.mp4"}}}};
    // No media at all, a plain file as its location, and a reason it was not surveyed.
    json second = {
        {"type", "movie"}, {"name", "Plain"}, {"locations", {"Plain"}}, {"error", "bad header <b>"}, {"media", 7}};
    json data = writeAndRead({first,
                              second,
                              {{"type", "container"}, {"location", "x<!--.adf"}, {"reason", "r</script>"}},
                              {{"type", "summary"}, {"containers", 3}, {"movies", 2}, {"damaged", 1}}});

    // Nothing in the block can end it or open a comment; the page has just its two script elements.
    EXPECT_EQ(DataBlock(page_).find('<'), std::string::npos);
    EXPECT_EQ(Count(page_, "</script"), 2u);
    EXPECT_EQ(Count(page_, "<!--"), 0u);

    ASSERT_EQ(data["movies"].size(), 2u);
    const json &a = data["movies"][0], &b = data["movies"][1];
    EXPECT_EQ(a["name"], breakout);
    EXPECT_EQ(a["disk"], "set.zip");
    EXPECT_EQ(a["locations"][0], "set.zip:Disk1.adz:Anims/" + breakout);
    EXPECT_EQ(a["length"], "00:10.440");
    EXPECT_EQ(a["scenes"], 39);
    EXPECT_EQ(a["missing"], json::array({"Work:Pics/Back"}));
    EXPECT_EQ(a["volumes"][0]["label"], "Art</script>");
    EXPECT_EQ(a["poster"], "media/a.png");
    EXPECT_EQ(a["video"], "media/a #1.mp4");
    EXPECT_EQ(b["disk"], "");
    EXPECT_EQ(b["error"], "bad header <b>");
    EXPECT_FALSE(b.contains("poster"));
    EXPECT_EQ(data["containers"], json::parse(R"([{"location":"x<!--.adf","reason":"r</script>"}])"));
    EXPECT_EQ(data["summary"]["damaged"], 1);
    EXPECT_FALSE(data["player"]);
}

TEST_F(GalleryTest, KeepsOnlyMediaTheScanMadeAndNoticesThePlayer)
{
    WriteText(dir_ / "media/ok.png", "png");
    WriteText(dir_.path().parent_path() / (dir_.path().filename().string() + "-outside.png"), "png");
    const std::string outside = "../" + dir_.path().filename().string() + "-outside.png";
    auto movie = [](const std::string &poster, const std::string &video) {
        return json{{"type", "movie"}, {"name", "m"}, {"media", {{"poster", poster}, {"video", video}}}};
    };
    json data = writeAndRead({movie("media/ok.png", "javascript:alert(1)"),
                              movie(outside, (fs::current_path() / "media/ok.png").string()),
                              movie("media/gone.png", "media/ok.png\n"),
                              // Fields of the wrong type are left out, not fatal.
                              json::parse(R"({"type":"movie","name":5,"locations":"x","scenes":"many",
                                              "assets":[{"missing":"yes"}],"volumes":[1],"error":false})")});
    fs::remove(dir_.path().parent_path() / (dir_.path().filename().string() + "-outside.png"));
    ASSERT_EQ(data["movies"].size(), 4u);
    EXPECT_EQ(data["movies"][0], json::parse(R"({"name":"m","disk":"","locations":[],"length":"","missing":[],
                                                "volumes":[],"poster":"media/ok.png"})"));
    for (int i : {1, 2}) EXPECT_FALSE(data["movies"][i].contains("poster") || data["movies"][i].contains("video")) << i;
    EXPECT_EQ(data["movies"][3],
              json::parse(R"({"name":"","disk":"","locations":[],"length":"","missing":[],"volumes":[]})"));
    EXPECT_EQ(data["summary"], nullptr);

    // Written again: the old page replaced whole, nothing left beside it.
    WriteText(dir_ / "player/index.html", "player");
    EXPECT_TRUE(writeAndRead({})["player"]);
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir_.path())) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"catalogue.jsonl", "index.html", "media", "player"}));
}

TEST_F(GalleryTest, AFaultyCatalogueIsNamedAndThePageKept)
{
    try {
        qftools::WriteGallery(dir_.path());
        FAIL() << "no catalogue";
    } catch (const qftools::ToolError &e) {
        EXPECT_NE(std::string(e.what()).find("catalogue.jsonl\": No such file"), std::string::npos) << e.what();
    }
    WriteText(dir_ / "index.html", "before");
    WriteText(dir_ / "catalogue.jsonl", "{\"type\":\"movie\",\"name\":\"m\"}\n{\"type\":\"movie\",\"na\n");
    try {
        qftools::WriteGallery(dir_.path());
        FAIL() << "a cut-off line";
    } catch (const qftools::ToolError &e) {
        EXPECT_NE(std::string(e.what()).find("line 2: not a JSON object"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadText(dir_ / "index.html"), "before");
}

}  // namespace
