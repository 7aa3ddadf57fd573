// index_page.h -- being written.
#pragma once
