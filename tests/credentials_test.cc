#include "kuvet/credentials.h"

#include <gtest/gtest.h>

#include "json/json.h"

const char shared[] =
    "[default]\naws_access_key_id = fid\naws_secret_access_key = fsecret\n"
    "# a comment\n[work]\n aws_access_key_id=wid \naws_secret_access_key=wsecret\r\n"
    "aws_session_token = wtoken\n[empty]\nregion = x\n";
const char config_file[] = "[default]\nregion = eu-west-1\n[profile work]\nregion = us-west-2\n";

TEST(Credentials, Order) {
  credentials::environment no_env = {{"HOME", "/h"}}, env_keys = {{"AWS_ACCESS_KEY_ID", "eid"},
      {"AWS_SECRET_ACCESS_KEY", "esecret"}, {"AWS_SESSION_TOKEN", "etoken"}, {"AWS_REGION", "ap-south-1"}};
  // .kuvet, the environment, the credentials file -> "id secret token region" or the problem
  const struct { const char* kuvet; credentials::environment env; const char *shared_text, *expected; } cases[] = {
      {R"({"aws_id":"kid","aws_key":"ksecret","region":"r"})", env_keys, shared, "kid ksecret  r"},
      {R"({"aws_id":"kid","aws_key":"ksecret"})", env_keys, shared, "kid ksecret  ap-south-1"},
      {R"({"aws_id":"","aws_key":""})", env_keys, shared, "eid esecret etoken ap-south-1"},
      {R"({"profile":"work"})", env_keys, shared, "wid wsecret wtoken ap-south-1"},
      {R"({})", {{"AWS_PROFILE", "work"}}, shared, "wid wsecret wtoken us-west-2"},
      {R"({})", {{"AWS_DEFAULT_REGION", "sa-east-1"}}, shared, "fid fsecret  sa-east-1"},
      {R"({"aws_id":"kid"})", env_keys, shared,
       ".kuvet names only one of aws_id and aws_key: give both, or neither to take them from "
       "the environment or a credentials file."},
      {R"({})", {{"AWS_ACCESS_KEY_ID", "eid"}}, shared,
       "Only one of AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY is set."},
      {R"({"profile":"gone"})", no_env, shared, "The profile 'gone' is not in /h/.aws/credentials."},
      {R"({})", {{"AWS_PROFILE", "empty"}, {"AWS_SHARED_CREDENTIALS_FILE", "/c"}}, shared,
       "The profile 'empty' in /c lacks aws_access_key_id or aws_secret_access_key."},
      {R"({})", no_env, "",
       "No credentials: give aws_id and aws_key in .kuvet, set AWS_ACCESS_KEY_ID and "
       "AWS_SECRET_ACCESS_KEY, or add a [default] profile to /h/.aws/credentials."},
  };
  for (const auto& c : cases) {
    credentials::found got = credentials::resolve(json::parse(c.kuvet), c.env, c.shared_text, config_file);
    std::string text = got.id + " " + got.secret + " " + got.token + " " + got.region;
    EXPECT_EQ(got.problem.empty() ? text : got.problem, c.expected) << c.kuvet;
  }
}
