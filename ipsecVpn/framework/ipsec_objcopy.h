/*
 * Object copies from the framework, released at the end of their scope, and
 * their text fields.
 */
#ifndef IPSEC_OBJCOPY_H
#define IPSEC_OBJCOPY_H

#include "framework/zor.h"

/* An object copy from the framework, released with zorObj_free. */
template <typename T> class ZorObj {
  public:
    ZorObj() = default;
    ZorObj(const ZorObj &) = delete;
    ZorObj &operator=(const ZorObj &) = delete;
    ~ZorObj() { reset(); }
    void reset() {
        if (obj_)
            zorObj_free(reinterpret_cast<void **>(&obj_));
        obj_ = nullptr;
    }
    /* For the out parameter of zorObj_get*: releases any copy held first. */
    void **out() {
        reset();
        return reinterpret_cast<void **>(&obj_);
    }
    T *get() const { return obj_; }
    T *operator->() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    T *obj_ = nullptr;
};

/* A text field of an object copy; an unset (null) field reads as "". */
inline const char *ipsec_txt(const char *s) {
    return s ? s : "";
}

/* Replaces a text field of an object copy by a framework copy of `value`. */
inline void ipsec_setText(char **field, const char *value) {
    if (*field)
        zorMem_free(*field);
    *field = zorMem_strdup(value);
}

#endif
