/* The kernel SA table dump and the reconciliation of tunnel status with it. */
#ifndef IPSEC_STATUS_H
#define IPSEC_STATUS_H

#define IPSEC_TMP_DELETE_CONF "/var/ipsec/tmp_delete.conf"

/* One dump, then ipsec_set_status. */
void ipsec_refresh_status(void);
/* Writes every enabled tunnel's status and SPIs from the latest dump. */
void ipsec_set_status(void);

#endif
