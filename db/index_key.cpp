#include "db/index_key.h"
