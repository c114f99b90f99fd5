#include "accounting/name_resolver.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace netward {

bool SystemNameResolver::ReverseLookup(const uint8_t (&ip)[4], char* out, size_t size) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  memcpy(&sin.sin_addr, ip, 4);
  char host[NI_MAXHOST];
  // NI_NAMEREQD: a numeric answer is no name.
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&sin), sizeof sin, host, sizeof host, nullptr, 0,
                  NI_NAMEREQD) != 0)
    return false;
  if (size == 0) return false;
  size_t n = strnlen(host, size - 1);
  memcpy(out, host, n);
  out[n] = 0;
  return true;
}

void ResolveStationName(StationRecord* station, NameResolver& resolver) {
  uint8_t ip[4];
  SharedCopyOut(ip, station->IpAddress, 4);
  char host[256] = {};
  if (resolver.ReverseLookup(ip, host, sizeof host)) {
    host[32] = 0;  // at most 32 characters fit the 33-byte Name
    station->Name.Set(host);
  }
  const NicArea* nic = RelaxedLoad(station->Nic);
  if (GlobalArea* g = nic != nullptr ? nic->Global : nullptr)
    RelaxedStore(station->LastSequence, g->FrameSequence.load(std::memory_order_relaxed));
}

ResolverPool::ResolverPool(NameResolver& resolver, int threads) : resolver_(resolver) {
  for (uint32_t i = 0; i < kQueueSlots; ++i) {
    cells_[i].sequence.store(i, std::memory_order_relaxed);
    cells_[i].station = nullptr;
  }
  threads_.reserve(static_cast<size_t>(threads));
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Worker(); });
}

ResolverPool::~ResolverPool() {
  stopping_.store(true, std::memory_order_release);
  ready_.release(static_cast<std::ptrdiff_t>(threads_.size()));
  for (auto& t : threads_) t.join();
}

bool ResolverPool::Submit(StationRecord* station, uint32_t* request) {
  uint32_t pos = enqueue_pos_.load(std::memory_order_relaxed);
  while (true) {
    Cell& cell = cells_[pos & (kQueueSlots - 1)];
    const uint32_t seq = cell.sequence.load(std::memory_order_acquire);
    const int32_t diff = static_cast<int32_t>(seq - pos);
    if (diff == 0) {
      if (enqueue_pos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
        cell.station = station;
        cell.sequence.store(pos + 1, std::memory_order_release);
        break;
      }
    } else if (diff < 0) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return false;
    } else {
      pos = enqueue_pos_.load(std::memory_order_relaxed);
    }
  }
  const uint32_t n = submitted_.fetch_add(1, std::memory_order_relaxed) + 1;
  if (request) *request = n;
  ready_.release();
  return true;
}

bool ResolverPool::Pop(StationRecord*& station) {
  uint32_t pos = dequeue_pos_.load(std::memory_order_relaxed);
  while (true) {
    Cell& cell = cells_[pos & (kQueueSlots - 1)];
    const uint32_t seq = cell.sequence.load(std::memory_order_acquire);
    const int32_t diff = static_cast<int32_t>(seq - (pos + 1));
    if (diff == 0) {
      if (dequeue_pos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
        station = cell.station;
        cell.sequence.store(pos + kQueueSlots, std::memory_order_release);
        return true;
      }
    } else if (diff < 0) {
      return false;
    } else {
      pos = dequeue_pos_.load(std::memory_order_relaxed);
    }
  }
}

void ResolverPool::Worker() {
  while (true) {
    ready_.acquire();
    StationRecord* station = nullptr;
    if (Pop(station)) {
      ResolveStationName(station, resolver_);
      completed_.fetch_add(1, std::memory_order_release);
      continue;
    }
    if (stopping_.load(std::memory_order_acquire)) return;
  }
}

namespace {
std::atomic<ResolverPool*> g_pool{nullptr};
std::atomic<uint32_t> g_dropped_without_pool{0};
}  // namespace

void InstallResolverPool(ResolverPool* pool) { g_pool.store(pool, std::memory_order_release); }
ResolverPool* InstalledResolverPool() { return g_pool.load(std::memory_order_acquire); }
uint32_t DroppedLookupsWithoutPool() { return g_dropped_without_pool.load(std::memory_order_relaxed); }
void CountLookupWithoutPool() { g_dropped_without_pool.fetch_add(1, std::memory_order_relaxed); }

}  // namespace netward
