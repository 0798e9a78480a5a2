// The frame record, the map of 12 entries written for each recorded call and return:
//   path ("file:line"), co_name, qualname, event, frame_id, arg, locals, thread,
//   thread_native_id, timestamp, type ("frame"), user_code_call_site (nil or
//   {call_frame_id, line_number}); then "end" on a return that was not an ordinary one,
//   "resumes" on a call resuming a generator or coroutine.
// The constant parts are kept as finished bytes; the rest is counted, then written into
// room made for exactly that (write_counted): no byte count is summed by hand, and no
// write can pass the room's end.
#include "record/serialiser.hpp"
#include "profiler/event.hpp"

#include <charconv>
#include <tuple>

namespace sarv {
namespace {

// Keys are constant: each is written as its finished fixstr bytes, header included.
// (Split literals: a hex escape would swallow a following hex letter.)
constexpr std::string_view K_PATH = "\xa4" "path";
constexpr std::string_view K_CO_NAME = "\xa7" "co_name";
constexpr std::string_view K_QUALNAME = "\xa8" "qualname";
constexpr std::string_view K_EVENT = "\xa5" "event";
constexpr std::string_view K_ARG = "\xa3" "arg";
constexpr std::string_view K_LOCALS = "\xa6" "locals";
constexpr std::string_view K_THREAD = "\xa6" "thread";
constexpr std::string_view K_THREAD_NATIVE_ID = "\xb0" "thread_native_id";
constexpr std::string_view K_TIMESTAMP = "\xa9" "timestamp";
constexpr std::string_view TYPE_FRAME_THEN_CALL_SITE = "\xa4" "type" "\xa5" "frame" "\xb3" "user_code_call_site";
constexpr std::string_view MAP2_THEN_CALL_FRAME_ID = "\x82" "\xad" "call_frame_id";  // a map of 2 entries
constexpr std::string_view K_LINE_NUMBER = "\xab" "line_number";
constexpr std::string_view CALL_THEN_FRAME_ID = "\xa4" "call" "\xa8" "frame_id";
constexpr std::string_view RETURN_THEN_FRAME_ID = "\xa6" "return" "\xa8" "frame_id";
constexpr std::string_view NIL_THEN_ARG = "\xc0" "\xa3" "arg";
constexpr std::string_view K_END = "\xa3" "end";
constexpr std::string_view K_RESUMES = "\xa7" "resumes";
constexpr uint8_t ID_HEADER = 0xa0 | std::tuple_size_v<decltype(PrefixedId::text)>;  // fixstr of an id's 30 bytes

// The "end" entry's value, a finished fixstr.
std::string_view end_value(End end) {
    switch (end) {
        case End::Raised: return "\xa6" "raised";
        case End::Yielded: return "\xa7" "yielded";
        case End::Awaited: return "\xa7" "awaited";
        case End::Returned: break;
    }
    return "\xa8" "returned";
}

template <class Write>
std::string encoded(Write write) {
    Buffer out;
    BufferSink sink{&out};
    MsgpackWriter<BufferSink> w(sink);
    write(w);
    return std::string(out.view());
}

}  // namespace

std::string encode_names_entries(std::string_view co_name, std::optional<std::string_view> qualname) {
    return encoded([&](MsgpackWriter<BufferSink>& w) {
        w.raw(K_CO_NAME);
        w.str(co_name);
        w.raw(K_QUALNAME);
        qualname ? w.str(*qualname) : w.nil();
        w.raw(K_EVENT);
    });
}

std::string encode_thread_entries(const ThreadInfo& thread) {
    return encoded([&](MsgpackWriter<BufferSink>& w) {
        w.raw(K_THREAD);
        w.str(thread.name);
        w.raw(K_THREAD_NATIVE_ID);
        w.uint(thread.native_id);
        w.raw(K_TIMESTAMP);
    });
}

bool write_frame_record(const EventFacts& facts, bool lightweight, Buffer& out) {
    // The entries up to "arg": every view in the facts is used here, before Python code
    // can run.
    // ":line", after the file name (room beyond the 12 bytes needed keeps array-bound
    // checks quiet)
    char line[32] = {':'};
    std::string_view line_text(
        line, static_cast<size_t>(std::to_chars(line + 1, line + sizeof(line), facts.line).ptr - line));
    const bool has_end = facts.event == Event::Return && facts.end != End::Returned;
    const bool has_resumes = facts.event == Event::Call && facts.resumes.has_value();
    write_counted(out, [&](auto& w) {
        w.byte(static_cast<uint8_t>(0x80 | (12 + has_end + has_resumes)));  // a fixmap
        w.put(K_PATH);
        w.str_header(facts.shown_path.size() + line_text.size());
        w.put(facts.shown_path);
        w.put(line_text);
        w.put(facts.names_entries);  // ends with the "event" key
        w.put(facts.event == Event::Call ? CALL_THEN_FRAME_ID : RETURN_THEN_FRAME_ID);
        if (facts.frame_id) {
            w.byte(ID_HEADER);
            w.put(facts.frame_id->view());
            w.put(K_ARG);
        } else {
            w.put(NIL_THEN_ARG);
        }
    });

    // The two encoded values go straight into the record.
    ValueSerialiser serialiser(lightweight);
    if (!serialiser.dump_into(facts.arg, out)) {
        return false;
    }
    out.append(K_LOCALS);
    const DirectLocals* direct = facts.direct;
    if (direct != nullptr
            ? !serialiser.dump_entries_into(direct->names.data(), direct->values.data(), direct->names.size(), out)
            : !serialiser.dump_into(facts.locals, out)) {
        return false;
    }

    const Maybe<CallSite>& site = facts.call_site;
    IntBytes site_line(site ? site->line_number : 0);
    write_counted(out, [&](auto& w) {
        w.put(facts.thread_entries);  // ends with the "timestamp" key
        w.f64(facts.now.seconds);
        w.put(TYPE_FRAME_THEN_CALL_SITE);
        if (site) {
            w.put(MAP2_THEN_CALL_FRAME_ID);
            w.byte(ID_HEADER);
            w.put(site->call_frame_id.view());
            w.put(K_LINE_NUMBER);
            w.put(site_line.view());
        } else {
            w.byte(0xc0);
        }
        if (has_end) {
            w.put(K_END);
            w.put(end_value(facts.end));
        }
        if (has_resumes) {
            w.put(K_RESUMES);
            w.byte(ID_HEADER);
            w.put(facts.resumes->view());
        }
    });
    return true;
}

}  // namespace sarv
