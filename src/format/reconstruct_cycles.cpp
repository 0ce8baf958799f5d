// Tuples and frozensets reached again while their items are being built.
// An immutable container cannot be created before its items, so a cycle
// through one is closed in one of three ways: a list item or dict value
// waiting for it holds a placeholder that is replaced when it is finished
// (a fixup); tuple and frozenset frames that need it as an item are set
// aside (parked) until it is finished; anything else finishes it at once in
// a nested frame. Cycles made of tuples and frozensets alone are refused.
#include <cassert>
#include <memory>
#include <utility>
#include <vector>

#include "format/reconstructor.h"

namespace zelkor::format {

Reconstructor::Outcome Reconstructor::request_immutable(uint32_t index, RecordView rec, bool deferrable) {
    if (active(index)) return reenter_immutable(index, rec, deferrable);
    Frame& f = push_frame(index, rec.tag(), rec.count(), rec.children());
    f.immutable().owner = stack_.size() - 1;
    f.items().resize(rec.count());
    active_[index] = static_cast<uint32_t>(stack_.size());
    return Outcome::Pushed;
}

// Reached again through a cycle while its items are being built.
Reconstructor::Outcome Reconstructor::reenter_immutable(uint32_t index, RecordView rec, bool deferrable) {
    // A list item or dict value simply waits for the finished object.
    if (deferrable) return Outcome::Deferred;
    // So does a tuple or frozenset whose own slot (perhaps through more of
    // them) is a list item or dict value: it is parked.
    switch (park_requester(index)) {
        case Park::Error:
            return Outcome::Error;
        case Park::Parked:
            return Outcome::Parked;
        case Park::NotPossible:
            break;
    }
    if (active_[index] == kParked) {
        // Needed now, and it waits itself: bring its frames back and finish
        // them here; the requesting frame asks again afterwards.
        resume(parked_at_[index].first, true);
        return Outcome::Pushed;
    }
    // Anything else needs it now: finish its items in a nested frame, which
    // meets the rest of the cycle already built (or as a dataclass shell)
    // and so completes. Without any other kind of frame on the way back to
    // it, the cycle holds nothing but tuples and frozensets, which no value
    // can form.
    const size_t latest = active_[index] - 1;
    if (stack_.back().nearest_other <= static_cast<long>(latest)) {
        raise_decode_error(DecodeError::ImmutableCycle, index);
        return Outcome::Error;
    }
    // Bounded in work, and in frames alive at once: without these frames
    // there is at most one per record.
    if (!continuations_.spend(1) || stack_.size() > g_.records.size() + 65536) {
        raise_decode_error(DecodeError::TooManyTupleCycles, index);
        return Outcome::Error;
    }
    const size_t owner = stack_[latest].immutable().owner;
    Frame& f = push_frame(index, rec.tag(), rec.count(), rec.children());
    f.immutable().owner = owner;
    f.immutable().previous_active = active_[index];
    active_[index] = static_cast<uint32_t>(stack_.size());
    return Outcome::Pushed;
}

// Puts a placeholder into the slot a list or dict frame is filling now (the
// item just asked for, or the value of the waiting key) and describes it.
bool Reconstructor::make_slot(Frame& f, Fixup& fix) {
    // A placeholder of its own, so that a later pair with an equal key
    // (which replaces this one) is never overwritten by this fixup.
    fix.placeholder = PyRef::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!fix.placeholder) return false;
    fix.container = f.obj.copy();
    if (f.tag == Tag::List) {
        fix.index = presize_lists_ ? static_cast<Py_ssize_t>(f.pos - 1) : PyList_Size(f.obj.get());
        return put_item(f, f.pos - 1, fix.placeholder.copy().release());
    }
    fix.key = std::move(f.key);
    return set_pair(f, (f.pos - 1) / 2, fix.key.get(), fix.placeholder.get());
}

// The frame holding the items of a tuple or frozenset being built, on the
// stack or parked.
Reconstructor::Frame& Reconstructor::owner_of(uint32_t tuple_index) {
    if (active_[tuple_index] == kParked) {
        const auto [chain, frame] = parked_at_[tuple_index];
        return parked_[chain]->frames[frame];
    }
    return stack_[stack_[active_[tuple_index] - 1].immutable().owner];
}

bool Reconstructor::defer(Frame& f, uint32_t tuple_index) {
    Fixup fix;
    if (!make_slot(f, fix)) return false;
    owner_of(tuple_index).immutable().fixups.push_back(std::move(fix));
    return true;
}

// The top frame, a tuple or frozenset, needs `awaited`, which is being
// built. If the top frames are tuples and frozensets (their own first
// frames) down to one whose slot is a list item or dict value, they are set
// aside until `awaited` is finished.
Reconstructor::Park Reconstructor::park_requester(uint32_t awaited) {
    if (!placeholders_allowed_) return Park::NotPossible;
    size_t bottom = stack_.size() - 1;
    for (;;) {
        const Frame& f = stack_[bottom];
        if (!f.is_immutable() || f.immutable().owner != bottom || f.immutable().no_park) return Park::NotPossible;
        if (f.immutable().resumed_from != kNoChain) break;  // its slot is known already
        if (bottom == 0) return Park::NotPossible;
        if (stack_[bottom - 1].fills_item_or_value()) break;
        --bottom;
    }
    // Waiting for a record among the frames set aside would never end: that
    // is a cycle of tuples and frozensets alone, which the caller reports.
    if (active_[awaited] != kParked && active_[awaited] - 1 >= bottom) return Park::NotPossible;

    auto chain = std::make_unique<ParkedChain>();
    const size_t id = parked_.size();
    Frame& first = stack_[bottom];
    if (first.immutable().resumed_from != kNoChain) {
        chain->slot = std::move(parked_[first.immutable().resumed_from]->slot);
        first.immutable().resumed_from = kNoChain;
    } else if (!make_slot(stack_[bottom - 1], chain->slot)) {
        return Park::Error;
    }
    chain->awaits = awaited;
    for (size_t i = bottom; i < stack_.size(); ++i) {
        active_[stack_[i].index] = kParked;
        parked_at_[stack_[i].index] = {id, i - bottom};
        chain->frames.push_back(std::move(stack_[i]));
    }
    stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(bottom), stack_.end());
    waiting_for_[awaited].push_back(id);
    parked_.push_back(std::move(chain));
    return Park::Parked;
}

// Puts a parked chain back on the stack. `on_demand`: brought back because
// something needs one of its records now; it then finishes here without
// parking again.
void Reconstructor::resume(size_t id, bool on_demand) {
    ParkedChain& chain = *parked_[id];
    chain.resumed = true;
    for (size_t i = 0; i < chain.frames.size(); ++i) {
        Frame& f = chain.frames[i];
        const long below = stack_.empty() ? -1 : stack_.back().nearest_other;
        f.immutable().owner = stack_.size();
        f.nearest_other = below;
        f.immutable().resumed_from = i == 0 ? id : kNoChain;
        f.immutable().no_park = on_demand;
        active_[f.index] = static_cast<uint32_t>(stack_.size() + 1);
        parked_at_.erase(f.index);
        stack_.push_back(std::move(f));
    }
    chain.frames.clear();
}

// Chains whose awaited record is now finished go back on the stack, each
// handed that record as the item it asked for.
bool Reconstructor::resume_ready_chains() {
    while (!ready_.empty()) {
        const size_t id = ready_.back();
        ready_.pop_back();
        if (parked_[id]->resumed) continue;
        const uint32_t awaited = parked_[id]->awaits;
        resume(id, false);
        if (!deliver(stack_.back(), PyRef::borrow(memo_.get(awaited)))) return false;
    }
    return true;
}

// After the main loop: a chain still parked waits, directly or through
// others, for itself.
bool Reconstructor::check_no_chain_left() {
    for (const auto& chain : parked_) {
        if (!chain->resumed) {
            raise_decode_error(DecodeError::ImmutableCycle, chain->frames.front().index);
            return false;
        }
    }
    return true;
}

bool Reconstructor::apply_fixups(std::vector<Fixup>& fixups, PyObject* value) {
    for (Fixup& fix : fixups) {
        PyObject* c = fix.container.get();
        if (!fix.key) {
            // Python code run meanwhile may have moved the item; only the
            // placeholder itself is replaced.
            if (fix.index < PyList_Size(c) && PyList_GetItem(c, fix.index) == fix.placeholder.get()) {
                Py_INCREF(value);
                if (PyList_SetItem(c, fix.index, value) < 0) return false;
            }
        } else {
            PyObject* current = PyDict_GetItemWithError(c, fix.key.get());
            if (!current && PyErr_Occurred()) return false;
            if (current == fix.placeholder.get() && PyDict_SetItem(c, fix.key.get(), value) < 0) return false;
        }
    }
    fixups.clear();
    return true;
}

bool Reconstructor::finish_immutable(Frame& f, PyRef& out) {
    active_[f.index] = f.immutable().previous_active;
    if (memo_.get(f.index)) {
        out = PyRef::borrow(memo_.get(f.index));
        return true;
    }
    std::vector<PyRef>& items = stack_[f.immutable().owner].items();
    const Py_ssize_t n = static_cast<Py_ssize_t>(items.size());
    if (f.tag == Tag::FrozenSet) {
        std::unique_ptr<SameHashes> same;
        for (const PyRef& item : items) {
            if (!check_member(item.get(), items.size(), same)) return false;
        }
    }
    PyRef tuple = PyRef::steal(PyTuple_New(n));
    if (!tuple) return false;
    if (f.tag == Tag::Tuple) hash_costs_.note_tuple(tuple.get(), items);
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SetItem(tuple.get(), i, items[static_cast<size_t>(i)].release());
    if (f.tag == Tag::Tuple) {
        out = std::move(tuple);
    } else {
        out = PyRef::steal(PyFrozenSet_New(tuple.get()));
        if (!out) {
            if (value_shells_) frozenset_not_made();
            return false;
        }
        if (value_shells_) hashed_early_.push_back({out.copy(), PySet_Size(out.get()) < n ? tuple.copy() : PyRef()});
    }
    remember(f.index, out.get());
    auto waiting = waiting_for_.find(f.index);
    if (waiting != waiting_for_.end()) {
        ready_.insert(ready_.end(), waiting->second.begin(), waiting->second.end());
        waiting_for_.erase(waiting);
    }
    return apply_fixups(stack_[f.immutable().owner].immutable().fixups, out.get());
}

}  // namespace zelkor::format
