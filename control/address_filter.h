// The networks a remote client may connect from: a list such as
// "127.0.0.0/8, ::1, fc00::/7". An IPv4 address that reaches an IPv6
// socket as ::ffff:a.b.c.d is matched as the IPv4 address it is. Pure.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sequelo::control {

// Loopback, private, shared (carrier-grade NAT) and link-local networks.
inline constexpr std::string_view kDefaultRemoteAllow =
    "127.0.0.0/8, 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 100.64.0.0/10, 169.254.0.0/16, "
    "::1, fc00::/7, fe80::/10";

// An address as 16 bytes: IPv4 as ::ffff:a.b.c.d, the way it is matched.
using IpBytes = std::array<std::uint8_t, 16>;

// Parses an address ("10.1.2.3", "fe80::1", "::ffff:10.1.2.3"; an IPv6
// zone such as "%eth0" is ignored). nullopt when it is none.
std::optional<IpBytes> ParseIpAddress(std::string_view text);
// How an address is shown: IPv4 plainly, IPv6 in brackets-free short form.
std::string IpText(const IpBytes& address);

class AddressFilter {
 public:
  // Every entry of `list` (commas or spaces between): an address, or an
  // address and a prefix length. False with the offending entry in `error`
  // when one is not; the entries before it are kept.
  bool Parse(std::string_view list, std::string& error);
  bool Allows(const IpBytes& address) const;
  // The list as parsed, normalised ("127.0.0.0/8, ::1/128").
  std::string Text() const;
  bool Empty() const { return networks_.empty(); }

 private:
  struct Network {
    IpBytes base{};
    int prefixBits = 128;  // of the 16 bytes: an IPv4 /8 is 96 + 8
  };
  std::vector<Network> networks_;
};

}  // namespace sequelo::control
