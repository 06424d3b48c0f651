// Fixed-capacity byte ring buffer behind an opaque handle. No lock of its own:
// a caller sharing a ring between threads serialises ringb_put and ringb_get.
#pragma once

typedef void* ringb_h;

ringb_h ringb_alloc(int size);                        // data area inside the record
ringb_h ringb_alloc(unsigned char* buff, int size);   // over the caller's area
void ringb_free(ringb_h& h);                          // clears the caller's handle
int ringb_put(ringb_h h, unsigned char* p, int size);
int ringb_get(ringb_h h, unsigned char* p, int size);
int ringb_length(ringb_h h);
int ringb_freespace(ringb_h h);
int ringb_dsize(ringb_h h);
unsigned char* ringb_addr(ringb_h h);
unsigned int ringb_dstart(ringb_h h);
int ringb_cont_dsize(ringb_h h);
int ringb_return(ringb_h h, int size);
