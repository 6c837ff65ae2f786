// The typed manifest: .manifest text in and out, the record, and the JSON
// reader beneath both.
#include "kuvet/manifest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "json/json_reader.h"
#include "kuvet/sync_record.h"
#include "temp_folder.h"

namespace {

// "key=time" each, a folder's key with "/", a recorded file's size, ETag and
// nanoseconds after its time.
std::string keys_of(const manifest& m) {
  std::string out;
  for (size_t i = 0; i < m.size(); i++) {
    entry e = m.at(i);
    out += std::string(m.key(i)) + (e.kind == entry_kind::folder ? "/" : "") + "=" + std::to_string(e.time);
    if (e.size >= 0) out += "," + std::to_string(e.size) + "," + std::string(e.etag) + "," + std::to_string(e.mtime_ns);
    out += " ";
  }
  return out;
}

TEST(ManifestText, ReadWhatWritersLeft) {
  struct {
    const char* text;
    const char* entries;  // "" with `problem` set for a refusal
    const char* foreign;
    const char* problem;
  } table[] = {
      {R"({"_revision":9,"b":2,"a/":1,"a/x":3})", "a/=1 a/x=3 b=2 ", "", ""},
      {R"({"t":"7","_revision":"9"})", "t=7 ", "", ""},           // times as text
      {R"({"t":7.9})", "t=7 ", "", ""},                           // a fraction dropped
      {R"({"caf\u00e9":1,"\ud83d\udcdd":2})", "café=1 📝=2 ", "", ""},
      {R"({"../x":1,"ok":2,"n":"soon"})", "ok=2 ", "../x n ", ""},  // kept as they are
      {R"({"d":1,"d/x":2})", "d/x=2 ", "d ", ""},  // a file cannot hold entries
      {R"({"_revision":"soon"})", "", "", "its _revision is not a number"},
      {R"({"_revision":true})", "", "", "its _revision is not a number"},
      {R"("text")", "", "", "not a JSON object"},
      {R"({"a":1,})", "", "", "expected a member name at byte 7"},
      {R"({"a":1} x)", "", "", "text after the end at byte 8"},
      {R"({"a":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]})",
       "", "", "nested too deep at byte 68"},
      {R"({"a":"\ud800"})", "", "", "bad string at byte 13"},
      {"{\"a\":\"x\x01\"}", "", "", "bad string at byte 8"},
  };
  for (const auto& t : table) {
    manifest_text m;
    std::string problem;
    bool ok = parse_manifest(t.text, &m, &problem);
    EXPECT_EQ(ok, t.problem[0] == '\0') << t.text;
    EXPECT_EQ(problem, t.problem) << t.text;
    if (!ok) continue;
    EXPECT_EQ(keys_of(m.entries), t.entries) << t.text;
    std::string foreign;
    for (const auto& f : m.foreign) foreign += f.first + " ";
    EXPECT_EQ(foreign, t.foreign) << t.text;
  }
}

TEST(ManifestText, WrittenTextReadsBack) {
  manifest_text in;
  std::string problem;
  const char text[] = R"({"_revision":5,"a\"b":1,"d/":2,"d/x\n":3,"../up":"kept"})";
  ASSERT_TRUE(parse_manifest(text, &in, &problem)) << problem;
  std::string written = write_manifest(in.entries, in.foreign, 6);
  EXPECT_EQ(written, R"({"_revision":6,"a\"b":1,"d/":2,"d/x\u000a":3,"../up":"kept"})");
  manifest_text again;
  ASSERT_TRUE(parse_manifest(written, &again, &problem)) << problem;
  EXPECT_EQ(keys_of(again.entries), keys_of(in.entries));
  EXPECT_EQ(again.revision, 6);
}

class RecordTest : public temp_folder_test {};

// The record as written, as an earlier version wrote it, and damaged; what
// loads is saved and loads again the same, for its own store only.
TEST_F(RecordTest, LoadedSavedAndLoadedAgain) {
  struct {
    const char* text;
    bool ok;
    const char* entries;
  } table[] = {
      {R"({"kuvet_url":"u","manifest_etag":"\"m\"","conditional":"yes","written":{"w":"\"x\""},)"
       R"("files":{"d/":[8],"d/f \"q\"":[10,3,"\"e\"",10123456789]}})",
       true, "d/=8 d/f \"q\"=10,3,\"e\",10123456789 "},
      {R"({"kuvet_url":"u","files":{"a":5,"d/":4}})", true, "a=5 d/=4 "},
      {R"({"files":{"a":5},"kuvet_url":"u"})", true, "a=5 "},
      {R"({"kuvet_url":"other","files":{"a":5}})", true, ""},
      {R"({"kuvet_url":"u","files":{"a":"5"}})", false, ""},
      {R"({"kuvet_url":"u","files":{"a":[5,1]}})", false, ""},
      {R"({"kuvet_url":"u","files":{)", false, ""},
  };
  for (const auto& t : table) {
    FILE* f = fopen(sync_record::file_name, "w");
    fputs(t.text, f);
    fclose(f);
    sync_record::record r, again;
    std::string problem;
    ASSERT_EQ(sync_record::load("u", &r, &problem), t.ok) << t.text;
    EXPECT_EQ(keys_of(r.entries), t.entries) << t.text;
    if (!t.ok || !r.exists) continue;
    ASSERT_TRUE(sync_record::save("u", r, &problem)) << problem;
    ASSERT_TRUE(sync_record::load("u", &again, &problem));
    EXPECT_EQ(std::make_tuple(keys_of(again.entries), again.manifest_etag, again.conditional, again.written),
              std::make_tuple(keys_of(r.entries), r.manifest_etag, r.conditional, r.written));
  }
}

}  // namespace
