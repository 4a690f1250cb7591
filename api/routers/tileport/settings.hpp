// Redis connection settings from the environment.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {

// os.environ.get(name, fallback), read when called.
pybind11::object environment(const char* name, pybind11::object fallback);

// redis_host, redis_port, redis_db, redis_password, redis_username, read once
// (after the environment file has been loaded). A port or database number
// that is not an integer fails with int()'s own ValueError.
void read_redis_settings();

}  // namespace tileport
