/*
 * Control codes the echo service and the demo client agree on. All are
 * METHOD_BUFFERED codes of the driver's device type 0x8500.
 */
#ifndef FERV_RELAY_DEMO_CODES_H
#define FERV_RELAY_DEMO_CODES_H

#define DEMO_CTL_CODE(function) (0x85000000u + ((unsigned int)(function) << 2))

/* The driver's wait-for-change code: held until any other request arrives,
 * then completed with status word 0 and a change counter at offset 4. */
#define DEMO_CODE_WAIT DEMO_CTL_CODE(0x810)
/* Refused outright with the NTSTATUS found at input offset 4. */
#define DEMO_CODE_REFUSE DEMO_CTL_CODE(0x8F0)
/* Held like a wait, then failed with STATUS_UNSUCCESSFUL. */
#define DEMO_CODE_FAIL_LATER DEMO_CTL_CODE(0x8F1)
/* Answered with one byte more than the output buffer holds. */
#define DEMO_CODE_OVERSIZE DEMO_CTL_CODE(0x8F2)
/* The service ends without answering. */
#define DEMO_CODE_QUIT DEMO_CTL_CODE(0x8FF)
/* Any other code is echoed: the input bytes, as many as the output buffer
 * holds, with status word 0 at offset 0 and the endpoint at offset 4. */
#define DEMO_CODE_ECHO DEMO_CTL_CODE(0x805)

#endif
