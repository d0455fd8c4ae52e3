#include "velredis/RedisReply.h"

#include <hiredis/hiredis.h>

namespace velmora::caching::detail {

namespace {

// The library's own array constructor, which the limited one calls; set once, with the table.
void* (*s_createArray)(const redisReadTask*, int) = nullptr;

void* CreateLimitedArray(const redisReadTask* task, int elements) {
    if (elements > kMaxReplyArrayElements) return nullptr;  // read as an allocation failure
    return s_createArray(task, elements);
}

}  // namespace

void LimitReplyArrays(redisReader* reader) {
    // The library's functions with the array constructor replaced; every reader starts with the
    // same default table, so one copy serves them all.
    static redisReplyObjectFunctions limited = [reader] {
        redisReplyObjectFunctions functions = *reader->fn;
        s_createArray = functions.createArray;
        functions.createArray = &CreateLimitedArray;
        return functions;
    }();
    reader->fn = &limited;
}

RedisReplyValue CopyReply(const redisReply* reply) {
    RedisReplyValue value;
    switch (reply->type) {
        case REDIS_REPLY_STRING:
            value.type = RedisReplyValue::Type::String;
            value.text.assign(reply->str, reply->len);
            break;
        case REDIS_REPLY_STATUS:
            value.type = RedisReplyValue::Type::Status;
            value.text.assign(reply->str, reply->len);
            break;
        case REDIS_REPLY_ERROR:
            value.type = RedisReplyValue::Type::Error;
            value.text.assign(reply->str, reply->len);
            break;
        case REDIS_REPLY_INTEGER:
            value.type = RedisReplyValue::Type::Integer;
            value.integer = reply->integer;
            break;
        case REDIS_REPLY_ARRAY:
            value.type = RedisReplyValue::Type::Array;
            value.elements.reserve(reply->elements);
            for (size_t i = 0; i < reply->elements; ++i)
                value.elements.push_back(CopyReply(reply->element[i]));
            break;
        default:
            value.type = RedisReplyValue::Type::Nil;
    }
    return value;
}

}  // namespace velmora::caching::detail
