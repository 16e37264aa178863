#include "messaging/MessageSender.h"
#include "platform/messenger/MessengerResult.h"

int layeringDownward()
{
    return MessengerResult::kSuccess;
}
