#include "redis_client.hpp"

#include <pybind11/pybind11.h>

#include <charconv>

#include "pyglue.hpp"
#include "settings.hpp"

namespace tileport {
namespace py = pybind11;

namespace {

constexpr int kSocketTimeoutSeconds = 5;

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

[[noreturn]] void bad_address(std::string_view variable, std::string_view entry) {
  throw py::value_error(std::string(variable) + ": '" + std::string(entry) + "' is not host:port");
}

Address parse_address(std::string_view entry, std::string_view variable) {
  const auto colon = entry.rfind(':');
  if (colon == std::string_view::npos) bad_address(variable, entry);
  std::string_view host = entry.substr(0, colon);
  const std::string_view port_text = entry.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    bad_address(variable, entry);  // an IPv6 host without its brackets
  }
  int port = 0;
  const auto [end, error] =
      std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (host.empty() || error != std::errc() || end != port_text.data() + port_text.size() ||
      port < 1 || port > 65535) {
    bad_address(variable, entry);
  }
  return {std::string(host), port};
}

// The variable's text, or None when it is unset or empty.
py::object given(const char* name) {
  py::object value = environment(name, py::none());
  if (value.is_none() || py::len(value) == 0) return py::none();
  return value;
}

// One attempt per command. Recent redis-py clients retry failed commands
// with backoff by default, which turns the 5 s socket time-out into minutes
// against a Redis that accepts and never answers, and every tile request
// waits on its rate-limit command that long.
py::object single_attempt() {
  py::object retry = py::module_::import("redis.asyncio.retry").attr("Retry");
  py::object no_backoff = py::module_::import("redis.backoff").attr("NoBackoff");
  return retry(no_backoff(), 0);
}

// The arguments every kind of client gets.
py::dict common_options() {
  py::dict options;
  options["password"] = global("redis_password");
  options["username"] = global("redis_username");
  options["decode_responses"] = false;
  options["socket_connect_timeout"] = kSocketTimeoutSeconds;
  options["socket_timeout"] = kSocketTimeoutSeconds;
  options["retry"] = single_attempt();
  return options;
}

py::object single_server_client() {
  py::dict options = common_options();
  options["host"] = global("redis_host");
  options["port"] = global("redis_port");
  options["db"] = global("redis_db");
  return global("redis").attr("Redis")(**options);
}

py::object cluster_client(py::handle nodes_text) {
  if (global("redis_db").cast<long long>() != 0) {
    throw py::value_error(
        "REDIS_DB must be 0 with REDIS_CLUSTER_NODES: a Redis Cluster has "
        "database 0 only");
  }
  py::module_ cluster = py::module_::import("redis.asyncio.cluster");
  py::list nodes;
  for (const Address& node :
       parse_addresses(nodes_text.cast<std::string>(), "REDIS_CLUSTER_NODES")) {
    nodes.append(cluster.attr("ClusterNode")(node.host, node.port));
  }
  py::dict options = common_options();
  options["startup_nodes"] = nodes;
  return cluster.attr("RedisCluster")(**options);
}

py::object sentinel_client(py::handle sentinels_text) {
  py::list sentinels;
  for (const Address& sentinel :
       parse_addresses(sentinels_text.cast<std::string>(), "REDIS_SENTINELS")) {
    sentinels.append(py::make_tuple(sentinel.host, sentinel.port));
  }
  // The sentinels are asked with the same time-outs and single attempt, so
  // a dead sentinel costs one refused connection before the next is asked.
  py::dict sentinel_options;
  sentinel_options["socket_connect_timeout"] = kSocketTimeoutSeconds;
  sentinel_options["socket_timeout"] = kSocketTimeoutSeconds;
  sentinel_options["retry"] = single_attempt();
  py::object sentinel_password = given("REDIS_SENTINEL_PASSWORD");
  if (!sentinel_password.is_none()) sentinel_options["password"] = sentinel_password;

  py::object service = given("REDIS_SENTINEL_SERVICE");
  if (service.is_none()) service = py::str("mymaster");
  py::object sentinel =
      py::module_::import("redis.asyncio.sentinel")
          .attr("Sentinel")(sentinels, py::arg("sentinel_kwargs") = sentinel_options);
  py::dict options = common_options();
  options["db"] = global("redis_db");
  options["redis_class"] = global("redis").attr("Redis");
  return sentinel.attr("master_for")(service, **options);
}

}  // namespace

std::vector<Address> parse_addresses(std::string_view text, std::string_view variable) {
  std::vector<Address> addresses;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view entry = trimmed(text.substr(0, comma));
    if (!entry.empty()) addresses.push_back(parse_address(entry, variable));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (addresses.empty()) {
    throw py::value_error(std::string(variable) + " names no host:port");
  }
  return addresses;
}

void create_redis_client() {
  set_global("redis", py::module_::import("redis.asyncio"));
  py::object cluster_nodes = given("REDIS_CLUSTER_NODES");
  py::object sentinels = given("REDIS_SENTINELS");
  if (!cluster_nodes.is_none() && !sentinels.is_none()) {
    throw py::value_error("REDIS_CLUSTER_NODES and REDIS_SENTINELS are both set; set one");
  }
  if (!cluster_nodes.is_none()) {
    set_global("redis_client", cluster_client(cluster_nodes));
  } else if (!sentinels.is_none()) {
    set_global("redis_client", sentinel_client(sentinels));
  } else {
    set_global("redis_client", single_server_client());
  }
}

}  // namespace tileport
