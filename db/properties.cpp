#include "db/properties.h"
