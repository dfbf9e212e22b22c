/* The typed families of the payload (setters, getters, the add, update and
 * get exports) repeat over the same value kinds; these lists are the one
 * place that names them. Each entry is X(Kind, C type, type code[, member])
 * with the type codes of tarnixField.h. */
#ifndef TARNIX_KINDS_H
#define TARNIX_KINDS_H

/* Scalars with a value held in the record: X(Kind, C type, type code, TarnixValue member). */
#define TARNIX_SCALAR_KINDS(X)                                                                                         \
    X(Bool, mama_bool_t, TARNIX_TYPE_BOOL, i8)                                                                         \
    X(Char, char, TARNIX_TYPE_WCHAR, ch)                                                                               \
    X(I8, mama_i8_t, TARNIX_TYPE_INT8, i8)                                                                             \
    X(U8, mama_u8_t, TARNIX_TYPE_UINT8, u8)                                                                            \
    X(I16, mama_i16_t, TARNIX_TYPE_INT16, i16)                                                                         \
    X(U16, mama_u16_t, TARNIX_TYPE_UINT16, u16)                                                                        \
    X(I32, mama_i32_t, TARNIX_TYPE_INT32, i32)                                                                         \
    X(U32, mama_u32_t, TARNIX_TYPE_UINT32, u32)                                                                        \
    X(I64, mama_i64_t, TARNIX_TYPE_INT64, i64)                                                                         \
    X(U64, mama_u64_t, TARNIX_TYPE_UINT64, u64)                                                                        \
    X(F32, mama_f32_t, TARNIX_TYPE_FLOAT, f32)                                                                         \
    X(F64, mama_f64_t, TARNIX_TYPE_DOUBLE, f64)

/* Vectors of numbers, one block of elements: X(Kind, element C type, type code). */
#define TARNIX_VECTOR_KINDS(X)                                                                                         \
    X(Bool, mama_bool_t, TARNIX_TYPE_VBOOL)                                                                            \
    X(Char, char, TARNIX_TYPE_VWCHAR)                                                                                  \
    X(I8, mama_i8_t, TARNIX_TYPE_VINT8)                                                                                \
    X(U8, mama_u8_t, TARNIX_TYPE_VUINT8)                                                                               \
    X(I16, mama_i16_t, TARNIX_TYPE_VINT16)                                                                             \
    X(U16, mama_u16_t, TARNIX_TYPE_VUINT16)                                                                            \
    X(I32, mama_i32_t, TARNIX_TYPE_VINT32)                                                                             \
    X(U32, mama_u32_t, TARNIX_TYPE_VUINT32)                                                                            \
    X(I64, mama_i64_t, TARNIX_TYPE_VINT64)                                                                             \
    X(U64, mama_u64_t, TARNIX_TYPE_VUINT64)                                                                            \
    X(F32, mama_f32_t, TARNIX_TYPE_VFLOAT)                                                                             \
    X(F64, mama_f64_t, TARNIX_TYPE_VDOUBLE)

/* Values OpenMAMA keeps in objects of its own, held here as packed records:
 * X(Kind, record type, OpenMAMA object type, type code, vector type code,
 * TarnixValue member; the vector's member is the plural). */
#define TARNIX_RECORD_KINDS(X)                                                                                         \
    X(DateTime, TarnixDateTime, mamaDateTime, TARNIX_TYPE_DATETIME, TARNIX_TYPE_VDATETIME, dateTime)                   \
    X(Price, TarnixPrice, mamaPrice, TARNIX_TYPE_PRICE, TARNIX_TYPE_VPRICE, price)

#endif
