/* triggers.h - placeholder: trigger subscriptions and event reporting. */
#ifndef OMBRELLE_TRIGGERS_H
#define OMBRELLE_TRIGGERS_H

int setup_triggers(void);

#endif
