// Owning pointers for the framework's records. A record is released by its
// `_deit(&slot)` function; vt_deit_deleter adapts that to std::unique_ptr, so a
// failed `_init` releases what it built by letting its owners go out of scope.
#pragma once

#include <memory>

template <auto Deit>
struct vt_deit_deleter {
    template <class T>
    void operator()(T *object) const
    {
        Deit(&object);
    }
};

template <class T, auto Deit>
using vt_owner = std::unique_ptr<T, vt_deit_deleter<Deit>>;
