#pragma once
// NetFlow v9 (RFC 3954) and IPFIX (RFC 7011) export messages: a header, then sets of templates,
// options templates and data records. The receive loop takes each message in arrival order
// (LearnFromExport): it learns the templates and notes the template each data set has at that
// moment in the message's plan. A worker later decodes the message by its plan alone
// (DecodeExport), so a data set decodes by the template sent ahead of it, whatever the exporter
// has sent since and whichever worker holds the message. A data set whose template is not held
// when it arrives is dropped and counted: the exporter's next template refresh makes its later
// data decodable.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "common/address.h"
#include "common/flow.h"
#include "parser/templates.h"
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

// What the receive loop found of a message, for the worker that decodes it. Kept with the job and
// cleared for reuse, so a steady stream allocates nothing for it.
struct ExportPlan {
    bool sound = false;  // header, sets and template records well formed
    ExportHeader header{};
    uint64_t init_ms = 0;  // IPFIX: the exporter's boot time, 0 if not known
    // Each data set's template, in set order; null where none was held.
    std::vector<std::shared_ptr<const Template>> templates;

    void Clear() {
        sound = false;
        init_ms = 0;
        templates.clear();
    }
};

// Data sets dropped since start for want of a template, for the metrics.
uint64_t SetsWithoutTemplate();

// The header of a v9 or IPFIX message; false if it is neither or shorter than its header.
bool ReadExportHeader(Bytes message, ExportHeader* header);

// Receive loop: checks the message's header, sets and template records, then learns its
// templates, withdrawals and options (the exporter's boot time), and makes its plan. False if
// malformed, when nothing is learned and the plan is not sound. A data set that runs past its
// end is not counted.
bool LearnFromExport(Bytes message, const NetAddress& exporter, time_t now, ExportCounts* counts,
                     ExportPlan* plan);

// Worker: whether the message, with the plan made of it, is taken whole: sound, and every data
// set with a template made of whole records.
bool CheckExport(Bytes message, const ExportPlan& plan);

// Worker, for a message CheckExport took: each flow record as a copy of shared (its origin and
// receive time) with the header's version and sequence and the record's fields filled in, handed
// to emit in record order, in batches.
using FlowBatch = void (*)(const FlowItem* flows, size_t count, void* context);
void DecodeExport(Bytes message, const ExportPlan& plan, const FlowItem& shared, FlowBatch emit,
                  void* context, ExportCounts* counts);
