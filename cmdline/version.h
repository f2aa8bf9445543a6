// The version every program of the suite shows: they are released together.
#pragma once

const int VERSION_MAJOR = 1;
const int VERSION_MINOR = 15;
const int VERSION_PATCH = 95;
