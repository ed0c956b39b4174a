/*********************************************************************
 * Translation jobs (linear assignment)
 *
 * Each translator takes exactly one document and each document is
 * given to exactly one translator. Minimise the total hours quoted.
 *********************************************************************/

// Freelance translators available today.
{string} Translators = ...;

// Documents to translate.
{string} Documents = ...;

// Hours translator t quoted for document d.
float hours[Translators][Documents] = ...;

// give[t][d] is 1 when translator t works on document d.
dvar boolean give[Translators][Documents];

// Objective: total hours paid.
minimize totalHours: sum(t in Translators, d in Documents) hours[t][d] * give[t][d];

subject to {
  // Every translator takes exactly one document.
  forall(t in Translators)
    oneDocumentEach: sum(d in Documents) give[t][d] == 1;

  // Every document is translated by exactly one translator.
  forall(d in Documents)
    oneTranslatorEach: sum(t in Translators) give[t][d] == 1;
}
