// Redis connection settings from the environment.
#pragma once

namespace tileport {

// redis_host, redis_port, redis_db, redis_password, redis_username, read once
// (after the environment file has been loaded). A port or database number
// that is not an integer fails with int()'s own ValueError.
void read_redis_settings();

}  // namespace tileport
