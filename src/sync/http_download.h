// One HTTP/1.1 GET into one local file.
#pragma once

#include <string>

#include "base/safe_folder.h"
#include "net/observer.h"

namespace zefo {

// Downloads `url` into `localPath`. The body goes to a temporary file beside the
// target, which replaces the target only when the body is complete (and, when
// `expectedMd5` is 32 hexadecimal digits, has that MD5 in any letter case).
// On false the previous file is unchanged and no temporary file remains. An observer,
// when given, hears of the body bytes as they arrive and can stop the download (it
// then fails).
bool HttpDownload(const std::string& url,
                  const std::string& localPath,
                  const std::string& expectedMd5 = {},
                  Observer* observer = nullptr);
// The same into `name` in `folder`; whatever stands at `name` (a link too) is replaced,
// never written through.
bool HttpDownload(const std::string& url,
                  const SafeFolder& folder,
                  const std::string& name,
                  const std::string& expectedMd5 = {},
                  Observer* observer = nullptr);

}  // namespace zefo
