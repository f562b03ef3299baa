#include "control/address_filter.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>

namespace sequelo::control {
namespace {

constexpr int kV4MappedPrefixBits = 96;

bool IsV4Mapped(const IpBytes& a) {
  for (int i = 0; i < 10; ++i) {
    if (a[static_cast<std::size_t>(i)] != 0) {
      return false;
    }
  }
  return a[10] == 0xff && a[11] == 0xff;
}

bool Matches(const IpBytes& a, const IpBytes& base, int bits) {
  for (int i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
    const auto mask = static_cast<std::uint8_t>(bits >= 8 ? 0xff : 0xff << (8 - bits));
    const auto at = static_cast<std::size_t>(i);
    if ((a[at] & mask) != (base[at] & mask)) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<IpBytes> ParseIpAddress(std::string_view text) {
  text = text.substr(0, text.find('%'));
  if (text.empty() || text.size() > INET6_ADDRSTRLEN) {
    return std::nullopt;
  }
  const std::string s(text);
  IpBytes bytes{};
  in_addr v4{};
  if (::inet_pton(AF_INET, s.c_str(), &v4) == 1) {
    bytes[10] = 0xff;
    bytes[11] = 0xff;
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v4.s_addr);
    std::copy(p, p + 4, bytes.begin() + 12);
    return bytes;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, s.c_str(), &v6) == 1) {
    std::copy(v6.s6_addr, v6.s6_addr + 16, bytes.begin());
    return bytes;
  }
  return std::nullopt;
}

std::string IpText(const IpBytes& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (IsV4Mapped(address)) {
    ::inet_ntop(AF_INET, address.data() + 12, text, sizeof text);
  } else {
    ::inet_ntop(AF_INET6, address.data(), text, sizeof text);
  }
  return text;
}

bool AddressFilter::Parse(std::string_view list, std::string& error) {
  std::size_t at = 0;
  while (at < list.size()) {
    const std::size_t end = list.find_first_of(", \t", at);
    const std::string_view entry = list.substr(at, end == std::string_view::npos ? end : end - at);
    at = end == std::string_view::npos ? list.size() : end + 1;
    if (entry.empty()) {
      continue;
    }
    const std::size_t slash = entry.find('/');
    const std::optional<IpBytes> base = ParseIpAddress(entry.substr(0, slash));
    Network network;
    bool ok = base.has_value();
    if (ok) {
      network.base = *base;
      const bool v4 = IsV4Mapped(*base);
      int bits = v4 ? 32 : 128;
      if (slash != std::string_view::npos) {
        const std::string_view digits = entry.substr(slash + 1);
        const auto [end2, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), bits);
        ok = ec == std::errc() && end2 == digits.data() + digits.size() && bits >= 0 &&
             bits <= (v4 ? 32 : 128);
      }
      network.prefixBits = v4 ? kV4MappedPrefixBits + bits : bits;
    }
    if (!ok) {
      error = "not an address or network: " + std::string(entry);
      return false;
    }
    networks_.push_back(network);
  }
  return true;
}

bool AddressFilter::Allows(const IpBytes& address) const {
  for (const Network& n : networks_) {
    if (Matches(address, n.base, n.prefixBits)) {
      return true;
    }
  }
  return false;
}

std::string AddressFilter::Text() const {
  std::string text;
  for (const Network& n : networks_) {
    if (!text.empty()) {
      text += ", ";
    }
    const bool v4 = IsV4Mapped(n.base) && n.prefixBits >= kV4MappedPrefixBits;
    text += IpText(n.base) + "/" +
            std::to_string(v4 ? n.prefixBits - kV4MappedPrefixBits : n.prefixBits);
  }
  return text;
}

}  // namespace sequelo::control
