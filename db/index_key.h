// index_key.h -- being written.
#pragma once
