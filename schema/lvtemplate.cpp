// lvtemplate -- builds the empty database every conversion starts from, from the description
// of its tables. Run by the build; it writes to a temporary name and renames, so that an
// interrupted build never leaves a half-written template that a later build takes as done.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "db/error.h"
#include "schema/schema_doc.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: lvtemplate SCHEMA OUT\n";
    return 2;
  }
  const std::string out = argv[2];
  const std::string partial = out + ".partial";
  std::error_code ec;
  std::filesystem::remove(partial, ec);
  try {
    const schema::SchemaDocument doc = schema::loadSchemaDocument(argv[1]);
    schema::buildTemplate(doc, partial);
    std::filesystem::rename(partial, out);
  } catch (const db::DbException& e) {
    std::cerr << "lvtemplate: " << e.error().description << " (" << e.error().number << ")\n";
    std::filesystem::remove(partial, ec);
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "lvtemplate: " << e.what() << "\n";
    std::filesystem::remove(partial, ec);
    return 1;
  }
  return 0;
}
