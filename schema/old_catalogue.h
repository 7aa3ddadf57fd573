// old_catalogue.h -- the tables of a catalogue of the old release, as its files hold them: the
// layout the converter reads, which lvsample writes and the tests vary.
#pragma once

#include <vector>

#include "db/schema.h"

namespace schema {

// Difficulty, Publishers, Musicians, Music, Genres and Games, in that order, with their keys.
std::vector<db::TableSchema> oldCatalogueSchema();

}  // namespace schema
