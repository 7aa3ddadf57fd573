// properties.h -- being written.
#pragma once
