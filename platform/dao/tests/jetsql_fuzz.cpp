// Fuzz target: any stored-query text either translates or is refused with
// TranslateError; the statements built from a translation never crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dao/jetsql.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    dao::jetsql::Translation t = dao::jetsql::Translate(text);
    if (t.kind == dao::jetsql::Kind::kSelect) {
      auto pk = [](const std::string& table) { return std::vector<std::string>{table + "ID"}; };
      (void)dao::jetsql::KeysetSql(t, pk);
      (void)dao::jetsql::FetchSql(t);
    }
  } catch (const dao::jetsql::TranslateError&) {
  }
  return 0;
}
