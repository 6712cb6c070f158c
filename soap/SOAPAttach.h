// The MIME (multipart/related) binding: the envelope as the first part, attachments after it.
#pragma once

#include "soap/Rio.h"

TIntfPtr<IMimeAttachmentHandler> CreateMimeAttachmentHandler(TOnSendAttachmentEvent onSend,
                                                             TOnGetAttachmentEvent onGet);
