// Redis connection settings from the environment, and the one shared client.
#pragma once

namespace tileport {

// redis_host, redis_port, redis_db, redis_password, redis_username, read once
// (after the environment file has been loaded). A port or database number
// that is not an integer fails with int()'s own ValueError.
void read_redis_settings();

// redis_client: a redis.asyncio.Redis over those settings, replies as raw
// bytes. Creating it opens no connection.
void create_redis_client();

}  // namespace tileport
