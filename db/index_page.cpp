#include "db/index_page.h"
