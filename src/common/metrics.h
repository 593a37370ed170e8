#pragma once
// Live counters for the metrics endpoint. The receive loop and the parser bump them with one
// relaxed atomic add each: no lock, no allocation on those paths. The endpoint reads them when
// it is scraped, on its own threads.
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/address.h"

// Exporters counted one by one, in the order they were first heard. Datagrams from any further
// exporter are counted together under kOtherExporter, so a scrape stays bounded.
constexpr int kMaxExporters = 256;
constexpr int kOtherExporter = kMaxExporters;

enum class Reject { kTooShort, kVersion, kCount };

// Receive loop only: the slot of the exporter at address, taken on first sight, or
// kOtherExporter once every slot is taken.
int ExporterSlot(const NetAddress& address);
int ExporterCount();
const NetAddress& ExporterAddress(int slot);

// Receive loop: one non-empty datagram of `bytes` bytes read at `now` from the exporter in slot.
void CountDatagram(int slot, size_t bytes, time_t now);
// Receive loop: the socket's cumulative drop counter as the kernel last reported it.
void NoteKernelDrops(uint32_t cumulative);
// Receive loop: the loss of the tracked exporter in slot as last counted. Each word only ever
// grows, as a counter must: a gap filled late by a reordered datagram stays counted once published.
void PublishLoss(int slot, uint64_t expected, uint64_t missing, uint64_t restarts);
// Parser.
void CountReject(Reject reason);
void CountDecodedFlows(unsigned flows);

uint64_t ReceivedDatagrams(int slot);
uint64_t ReceivedBytes(int slot);
uint64_t LastDatagramTime(int slot);  // Unix seconds; 0 before the first datagram
uint64_t ExpectedFlows(int slot);
uint64_t MissingFlows(int slot);
uint64_t ExporterRestarts(int slot);
uint64_t RejectedDatagrams(Reject reason);
uint64_t DecodedFlows();
uint64_t KernelDrops();

// The families a scrape shows, in its order; listen/exposition.cpp holds their names and help.
enum Family {
    kRejected,
    kDecoded,
    kVersionDatagrams,
    kVersionRejected,
    kSetsWithoutTemplate,
    kTemplateExpiries,
    kDroppedDatagrams,
    kDroppedFlows,
    kDroppedTrashLines,
    kWrittenFlows,
    kJobBacklog,
    kStorageQueue,
    kMysqlBacklog,
    kMysqlConnected,
    kSinkBacklogRows,
    kSinkFailedRequests,
    kPassDuration,
    kPassFlows,
    kExportersTracked,
    kResidentMemory,
    kCpuSeconds,
    kStartTime,
    // Series per exporter, labelled with its address.
    kReceivedDatagrams,
    kReceivedBytes,
    kLastDatagram,
    kExpectedFlows,
    kMissingFlows,
    kRestarts,
    kTemplatesHeld,
    kFamilyCount
};

// A series not tied to an exporter: its family, its label's value (null: none) and the function
// its value is read from at scrape time, which returns kNoSample for a series not shown now.
constexpr uint64_t kNoSample = UINT64_MAX;
struct Reading {
    Family family;
    const char* label;
    uint64_t (*read)();
};

// The one table of readings a scrape walks. Each module adds its own once, before the metrics
// endpoint starts; a family shows its series in the order they were added.
void AddReadings(const Reading* rows, size_t count);
size_t ReadingCount();
const Reading& ReadingAt(size_t index);
