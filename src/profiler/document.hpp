// A trace document handed to storage in pieces: the bytes of build_trace(), read as a
// sequence of read-only buffers of at most a megabyte, so that storing a trace of a
// gigabyte never holds a second copy of it. Runs of buffered records are handed out where
// they lie, without a copy.
#pragma once

#include "common.hpp"

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sarv {

class SarvProfiler;
struct TakenFrames;
struct SpoolFile;

// The document's entries other than the records.
struct DocumentMeta {
    std::string version;
    std::optional<std::string> commit_sha;
    std::vector<std::string> argv;
    std::string trace_id;
    std::string source;
    double created;
    size_t main_thread_id;
    // Records the caps dropped: said by a record of type "records_dropped" before the
    // records of "frames_of_interest" (after the trace's opening marker).
    size_t dropped = 0;
    size_t max_records = 0;
    size_t max_bytes = 0;
    bool keep_latest = true;
};

// The entries read from Python (version, commit, argv) and the profiler's own, but for
// trace_id and dropped. False with a Python error set.
bool read_document_meta(const SarvProfiler& p, DocumentMeta& meta);

// The document of `taken` as one bytes object (null with an error set): the one writer of
// documents, for saves, build_trace() and traces assembled from a spool alike.
Ref document_bytes(const DocumentMeta& meta, const TakenFrames& taken);

// The document as a list of parts: short ones (headers, keys) copied here, long ones
// (runs of buffered records, long texts) referred to where they are. Whoever fills it
// keeps the referred memory alive while the parts are read.
class DocumentParts {
public:
    // The sink interface of MsgpackWriter.
    void write(const char* data, size_t size);
    // `size` bytes at `offset` of a spool file (records that left memory), read when the
    // document is: whoever fills the parts keeps `file` open meanwhile.
    void refer_file(const std::shared_ptr<const SpoolFile>& file, uint64_t offset, size_t size);

    size_t size() const { return size_; }
    size_t part_count() const { return parts_.size(); }
    // Part `i`'s bytes; empty for a part in a file (see in_file()).
    std::string_view part(size_t i) const {
        const Part& p = parts_[i];
        return p.owned == NOT_OWNED ? p.view : std::string_view(owned_[p.owned]);
    }
    size_t part_size(size_t i) const { return parts_[i].file != nullptr ? parts_[i].file_size : part(i).size(); }
    // Whether part `i` is memory of the writer's, referred to rather than copied here.
    bool referred(size_t i) const { return parts_[i].owned == NOT_OWNED && parts_[i].file == nullptr; }
    // The descriptor and offset of a part in a spool file (null descriptor: not one).
    const SpoolFile* in_file(size_t i) const { return parts_[i].file; }
    uint64_t file_offset(size_t i) const { return parts_[i].file_offset; }

private:
    static constexpr size_t NOT_OWNED = static_cast<size_t>(-1);
    static constexpr size_t REFER_FROM = 4096;  // parts at least this long are not copied
    struct Part {
        std::string_view view;
        size_t owned = NOT_OWNED;
        const SpoolFile* file = nullptr;
        uint64_t file_offset = 0;
        size_t file_size = 0;
    };
    std::deque<std::string> owned_;
    std::vector<Part> parts_;
    size_t size_ = 0;
};

// A new Python iterator over the bytes of `parts`. `keeper` owns `parts` and the memory
// they refer to: the iterator and every piece it has handed out hold it, so a piece kept
// by the storage function stays readable after the save. Its attributes describe the
// document without reading it: `record_count`, `tail_offset` (where the entries after the
// records begin) and `edge_records` (a tuple of the first records of "frames_of_interest"
// and its last, as bytes).
Ref new_document_pieces(std::shared_ptr<const void> keeper, const DocumentParts* parts, size_t record_count,
                        size_t tail_offset, Ref edge_records);

}  // namespace sarv
