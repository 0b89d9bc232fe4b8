// The check of zivivev.dat's object layout, kept apart from the screens so that tests can call
// it on hand-made object lists without loading a file.
#pragma once

#include <allegro.h>

// True when objects 0..3 exist with the kinds the demo uses them as.
bool datafile_usable(const DATAFILE* d);
