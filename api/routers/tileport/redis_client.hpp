// The one shared Redis client, made at import from the settings: a single
// server (the default), a Sentinel-watched primary, or a Redis Cluster.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tileport {

struct Address {
  std::string host;
  int port;
};

// "host:port,host:port" as REDIS_CLUSTER_NODES and REDIS_SENTINELS hold it.
// Blanks around entries and empty entries are ignored; an IPv6 host is
// written in brackets ("[::1]:7000"). Anything else, or no entry at all,
// raises ValueError naming `variable`.
std::vector<Address> parse_addresses(std::string_view text, std::string_view variable);

// redis_client, replies as raw bytes, one attempt per command, 5 s socket
// time-outs. Which kind is chosen by the environment:
//   REDIS_CLUSTER_NODES  some of the cluster's nodes: redis-py's cluster
//                        client, which routes each key to its slot's primary
//                        and scans every primary; REDIS_DB must be 0.
//   REDIS_SENTINELS      the sentinels, with REDIS_SENTINEL_SERVICE (the
//                        monitored primary's name, default "mymaster") and
//                        REDIS_SENTINEL_PASSWORD (for the sentinels
//                        themselves): a client that asks the sentinels for
//                        the current primary on every new connection, so a
//                        failover is followed without a restart.
//   neither              redis.asyncio.Redis on REDIS_HOST and REDIS_PORT.
// Both at once is refused. Creating any of them opens no connection.
void create_redis_client();

}  // namespace tileport
