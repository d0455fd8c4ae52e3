#include "velredis/RedisReply.h"

#include <hiredis/hiredis.h>

namespace velmora::caching::detail {

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
