#pragma once
// NetFlow v9 (RFC 3954) and IPFIX (RFC 7011) export messages: a header, then sets of templates,
// options templates and data records. The receive loop learns each message's templates in arrival
// order (LearnFromExport) before a worker decodes its flows (DecodeExport), so a data set finds
// the template sent ahead of it even when another worker holds the earlier message. A data set
// whose template is not held when a worker decodes it is dropped and counted: the exporter's next
// template refresh makes its later data decodable. (One that arrived ahead of its template is
// still decoded if the template arrived while it waited for a worker.)
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "common/address.h"
#include "common/flow.h"
#include "parser/wire.h"

constexpr uint16_t kNetFlowV9 = 9;
constexpr uint16_t kIpfix = 10;

struct ExportHeader {
    uint16_t version;
    uint32_t sequence;  // v9: export datagrams sent before; IPFIX: data records sent before
    uint32_t domain;    // v9 source ID, IPFIX observation domain
    uint32_t export_seconds;
    uint32_t uptime;  // v9: the exporter's uptime at export, milliseconds; IPFIX: 0
};

// What one message held, as far as the templates held could tell.
struct ExportCounts {
    uint32_t data_records = 0;  // records of data sets with a template, options records included
    uint32_t flows = 0;         // flow records among them
    uint32_t unknown_sets = 0;  // data sets without a template held: dropped
};

// Data sets dropped since start for want of a template, for the metrics.
uint64_t SetsWithoutTemplate();

// The header of a v9 or IPFIX message; false if it is neither or shorter than its header.
bool ReadExportHeader(Bytes message, ExportHeader* header);

// Receive loop: checks the message's header, sets and template records, then learns its
// templates, withdrawals and options (the exporter's boot time); false if malformed, when
// nothing is learned. A data set that runs past its end is not counted.
bool LearnFromExport(Bytes message, const NetAddress& exporter, time_t now, ExportCounts* counts);

// Worker: whether DecodeExport would take the message, by the templates held now.
bool CheckExport(Bytes message, const NetAddress& exporter);

// Worker: each flow record as a copy of shared (its origin and receive time) with the header's
// version and sequence and the record's fields filled in, handed to emit in record order, in
// batches. False if the message is malformed (a data set included), when
// nothing is emitted.
using FlowBatch = void (*)(const FlowItem* flows, size_t count, void* context);
bool DecodeExport(Bytes message, const NetAddress& exporter, const FlowItem& shared, FlowBatch emit,
                  void* context, ExportCounts* counts);
