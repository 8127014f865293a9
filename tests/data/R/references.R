# Reference values from R for the tests: ordinal::clm and MASS::polr on
# ordinal's wine and soup data, and their data as CSV beside this script.
# Run from this folder: Rscript references.R  (needs r-cran-ordinal, r-cran-mass)
suppressMessages({library(ordinal); library(MASS)})
write.csv(wine[, c("rating", "temp", "contact", "bottle", "judge")], "wine.csv", row.names = FALSE)
write.csv(soup[, c("SURENESS", "PROD", "DAY", "SOUPTYPE", "SOUPFREQ", "COLD", "EASY", "GENDER", "AGEGROUP",
                   "LOCATION")], "soup.csv", row.names = FALSE)
rows <- list()
add <- function(model, quantity, term, value) {
  rows[[length(rows) + 1]] <<- data.frame(model = model, quantity = quantity, term = term, value = value)
}
record <- function(name, fit, profile = TRUE) {
  add(name, "llf", "", as.numeric(logLik(fit)))
  # clm: thresholds (alpha), location (beta), log-scale (zeta, "scale:" here);
  # polr: zeta are its thresholds.
  co <- if (inherits(fit, "polr")) c(fit$zeta, coef(fit)) else
    c(fit$alpha, fit$beta, if (length(fit$zeta)) setNames(fit$zeta, paste0("scale:", names(fit$zeta))))
  se <- sqrt(diag(vcov(fit)))
  names(se) <- names(co)[seq_along(se)]
  if (inherits(fit, "polr")) se <- sqrt(diag(vcov(fit)))[c(names(fit$zeta), names(coef(fit)))]
  for (t in names(co)) add(name, "coef", t, co[[t]])
  for (t in names(se)) add(name, "se", t, se[[t]])
  if (profile) {
    ci <- suppressMessages(confint(fit))
    ci <- matrix(ci, ncol = 2, dimnames = list(if (is.null(rownames(ci))) names(coef(fit)) else rownames(ci), NULL))
    for (t in rownames(ci)) { add(name, "lower", t, ci[t, 1]); add(name, "upper", t, ci[t, 2]) }
  }
}
record("wine_clm", clm(rating ~ temp + contact, data = wine))
record("wine_polr", polr(rating ~ temp + contact, data = wine, Hess = TRUE))
record("soup_clm", clm(SURENESS ~ PROD + DAY + GENDER, data = soup))
record("wine_clm_scale", clm(rating ~ temp + contact, scale = ~ temp, data = wine), profile = FALSE)
record("wine_clm_nominal", clm(rating ~ temp, nominal = ~ contact, data = wine), profile = FALSE)
record("soup_clm_scale", clm(SURENESS ~ PROD, scale = ~ PROD, data = soup), profile = FALSE)
record("soup_clm_nominal", clm(SURENESS ~ PROD, nominal = ~ DAY, data = soup), profile = FALSE)
# The tests of nominal and scale effects: clm's likelihood-ratio tables.
tests <- function(name, fit) {
  for (kind in c("nominal", "scale")) {
    table <- if (kind == "nominal") nominal_test(fit) else scale_test(fit)
    for (t in rownames(table)[-1]) {
      add(name, paste0(kind, "_LRT"), t, table[t, "LRT"])
      add(name, paste0(kind, "_df"), t, table[t, "Df"])
    }
  }
}
tests("wine_clm", clm(rating ~ temp + contact, data = wine))
tests("soup_clm", clm(SURENESS ~ PROD + DAY + GENDER, data = soup))
out <- do.call(rbind, rows)
write.csv(out, "references.csv", row.names = FALSE)
