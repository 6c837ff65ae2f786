// Where the keys and the region come from when ".kuvet" does not name them:
// the environment, then the shared credentials and config files of the AWS
// tools. Pure: the caller passes the variables and the files' text in.
#pragma once
#include <map>
#include <string>

#include "var/var.h"

namespace credentials {

using environment = std::map<std::string, std::string>;  // name -> value

struct found {
  std::string id, secret, token;  // token: "" when there is no session token
  std::string region;             // "" when none is named anywhere
  std::string problem;            // one sentence when no usable keys were found
};

// The shared credentials file (AWS_SHARED_CREDENTIALS_FILE, else
// $HOME/.aws/credentials) and the shared config file (AWS_CONFIG_FILE, else
// $HOME/.aws/config); "" when neither variable helps.
std::string credentials_path(const environment& env);
std::string config_path(const environment& env);

// The keys, in this order: `aws_id` and `aws_key` of ".kuvet"; the profile
// ".kuvet" names in `profile`; AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY and
// AWS_SESSION_TOKEN; the profile AWS_PROFILE names, else "default", of the
// credentials file. The region: ".kuvet", AWS_REGION, AWS_DEFAULT_REGION,
// then the profile's section of the config file.
found resolve(const var& config, const environment& env, const std::string& credentials_text,
              const std::string& config_text);

}  // namespace credentials
